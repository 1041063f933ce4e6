// SPDX-License-Identifier: MIT
// What the tool writes on its standard streams, why a call failed, and text between
// Windows' UTF-16 and the tool's UTF-8. A lone surrogate, which NTFS allows in a name,
// is kept as WTF-8 does (as if a code point), so that the name opens the very file.
#include <windows.h>

#include <cstdint>
#include <string>

#include "system.h"

namespace {

// One length of UTF-8 sequence: its lead byte's mark and value bits, and its first code point.
struct utf8_form {
    unsigned lead;
    unsigned value_bits;
    std::uint32_t first;
};
constexpr utf8_form FORMS[] = {
    {0x00, 0x7F, 0}, {0xC0, 0x1F, 0x80}, {0xE0, 0x0F, 0x800}, {0xF0, 0x07, 0x10000}};
constexpr int LONGEST = 3; // continuation bytes of the longest form
constexpr unsigned CONTINUATION = 0x80;
constexpr unsigned CONTINUATION_VALUE = 0x3F;
constexpr int CONTINUATION_BITS = 6;

constexpr std::uint32_t HIGH_SURROGATE = 0xD800;
constexpr std::uint32_t LOW_SURROGATE = 0xDC00;
constexpr std::uint32_t SURROGATE_END = 0xE000;
constexpr int SURROGATE_BITS = 10;
constexpr std::uint32_t SURROGATE_VALUE = (1U << SURROGATE_BITS) - 1;
constexpr std::uint32_t PAIRED = 0x10000; // the first code point that takes a pair
constexpr std::uint32_t LAST_CODE_POINT = 0x10FFFF;
constexpr wchar_t REPLACEMENT = 0xFFFD;

bool is_high(std::uint32_t unit)
{
    return unit >= HIGH_SURROGATE && unit < LOW_SURROGATE;
}

bool is_low(std::uint32_t unit)
{
    return unit >= LOW_SURROGATE && unit < SURROGATE_END;
}

void append_utf8(std::string& text, std::uint32_t c)
{
    int tail = 0;
    while (tail < LONGEST && c >= FORMS[tail + 1].first)
        ++tail;
    text += static_cast<char>(FORMS[tail].lead | (c >> (CONTINUATION_BITS * tail)));
    for (int i = tail - 1; i >= 0; --i)
        text +=
            static_cast<char>(CONTINUATION | ((c >> (CONTINUATION_BITS * i)) & CONTINUATION_VALUE));
}

// One code point or lone surrogate, and the bytes it took; 0 for what is not even WTF-8.
struct code_point {
    std::uint32_t value;
    int bytes;
};

code_point next_code_point(const unsigned char* s)
{
    int tail = LONGEST;
    while (tail >= 0 && (s[0] & ~FORMS[tail].value_bits & 0xFFU) != FORMS[tail].lead)
        --tail;
    if (tail < 0)
        return {0, 0};
    std::uint32_t c = s[0] & FORMS[tail].value_bits;
    for (int i = 1; i <= tail; ++i) {
        // The terminator fails this test too, so nothing past it is read.
        if ((s[i] & ~CONTINUATION_VALUE & 0xFFU) != CONTINUATION)
            return {0, 0};
        c = (c << CONTINUATION_BITS) | (s[i] & CONTINUATION_VALUE);
    }
    // A longer form than needed would give one name two spellings.
    if (c < FORMS[tail].first || c > LAST_CODE_POINT)
        return {0, 0};
    return {c, tail + 1};
}

// The UTF-16 of text, and whether all of it was WTF-8 (what was not shows as U+FFFD).
struct wide_text {
    std::wstring text;
    bool exact;
};

wide_text from_utf8(const char* text)
{
    wide_text wide = {std::wstring(), true};
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    bool after_lone_high = false;
    while (*s != 0) {
        code_point p = next_code_point(s);
        // A pair spelt as two lone halves is not WTF-8: it takes four bytes.
        bool valid = p.bytes != 0 && !(after_lone_high && is_low(p.value));
        if (!valid)
            p = {REPLACEMENT, 1};
        wide.exact = wide.exact && valid;
        if (p.value >= PAIRED) {
            std::uint32_t v = p.value - PAIRED;
            wide.text += static_cast<wchar_t>(HIGH_SURROGATE + (v >> SURROGATE_BITS));
            wide.text += static_cast<wchar_t>(LOW_SURROGATE + (v & SURROGATE_VALUE));
        } else {
            wide.text += static_cast<wchar_t>(p.value);
        }
        after_lone_high = is_high(p.value);
        s += p.bytes;
    }
    return wide;
}

// The system's own text for error, in UTF-8 and without its line end.
std::string system_text(DWORD error)
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? text : L"", n);
    LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' '))
        wide.pop_back();
    if (wide.empty())
        return "erreur " + std::to_string(error);
    return utf8_argument(wide.c_str());
}

} // namespace

int last_error()
{
    return static_cast<int>(GetLastError());
}

std::string reason_text(int error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "absent";
    case ERROR_ACCESS_DENIED:
        return "permission refusee";
    case ERROR_DIRECTORY:
        return "est un repertoire";
    case ERROR_WRITE_PROTECT:
        return "systeme de fichiers en lecture seule";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return "plus de place";
    case ERROR_FILE_TOO_LARGE:
        return "fichier trop grand";
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
        return "erreur d'entree-sortie";
    case ERROR_SHARING_VIOLATION:
        return "utilise par un autre programme";
    case REASON_HELD_FOR_WRITING:
        return "pris en ecriture par un autre programme";
    case REASON_DISK_OR_VOLUME:
        return "disque ou volume, pas encore pris en charge";
    default:
        return system_text(static_cast<DWORD>(error));
    }
}

// A write that fails is let go: the console shows what it can.
void write_console(HANDLE console, const std::string& text)
{
    std::wstring wide = from_utf8(text.c_str()).text;
    DWORD done = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
}

std::wstring widened(const char* text)
{
    wide_text wide = from_utf8(text);
    return wide.exact ? wide.text : std::wstring();
}

std::string utf8_argument(const wchar_t* argument)
{
    std::string text;
    for (const wchar_t* p = argument; *p != L'\0'; ++p) {
        // wchar_t holds one UTF-16 unit here.
        std::uint32_t c = static_cast<std::uint16_t>(p[0]);
        std::uint32_t next = static_cast<std::uint16_t>(p[1]);
        if (is_high(c) && is_low(next)) {
            c = PAIRED + ((c - HIGH_SURROGATE) << SURROGATE_BITS) + (next - LOW_SURROGATE);
            ++p;
        }
        append_utf8(text, c);
    }
    return text;
}

void write_standard(standard_stream to, const std::string& text)
{
    bool error = to == standard_stream::error;
    HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    // Written after the report's message, even when both go to one file.
    if (error)
        std::fflush(stdout);
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) {
        // The UTF-8 bytes as they are.
        std::fwrite(text.data(), 1, text.size(), error ? stderr : stdout);
        if (error)
            std::fflush(stderr);
        return;
    }
    // With the line ends that the C runtime gives a file.
    std::string lines;
    for (char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    write_console(handle, lines);
}
