// SPDX-License-Identifier: MIT
// The host services on Windows. Paths arrive as UTF-8 and are opened through
// the wide API, so any name the file system accepts can be used.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "progress.h"
#include "system.h"

namespace {

// Creates path if absent, but never truncates it: its old bytes stay until
// it is known not to be an input.
std::FILE* open_for_writing(const std::wstring& path)
{
    // _wfopen has no mode that creates without truncating.
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr)
        _close(fd);
    return stream;
}

// A look at a file that gets in no one's way.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Bits in the low half of a file index.
constexpr int INDEX_LOW_BITS = 32;

// A pipe or a console has no identity here: those are never one of the
// inputs. A volume serial of 0 is one the host would not tell (Wine's, for a
// handle it was handed by a Unix shell): only the file's own id is known.
bool is_known(const file_facts& facts)
{
    return facts.kind != file_kind::unmeasured && (facts.id.index != 0 || facts.id.index_high != 0);
}

bool volume_known(const file_facts& facts)
{
    return is_known(facts) && facts.id.device != 0;
}

// A file whose volume is not known is taken for any file with its id: that
// may refuse a file of another volume, but never lets an input through.
bool same_file(const file_facts& a, const file_facts& b)
{
    bool same_volume = a.id.device == b.id.device || a.id.device == 0 || b.id.device == 0;
    return is_known(a) && is_known(b) && a.kind == b.kind && same_volume &&
           a.id.index == b.id.index && a.id.index_high == b.id.index_high;
}

// Which file a handle is, and whether it is a folder.
struct identity {
    bool known;
    file_id id;
    bool folder;
};

// FileIdInfo first: its 128-bit id is unique where the old 64-bit index is
// not (ReFS). Like FileStandardInfo it needs no access right, so that a
// handle opened for writing alone can tell it; the old call, which needs
// one, serves the file systems that do not give it.
identity identity_of(HANDLE handle)
{
    FILE_ID_INFO ids;
    FILE_STANDARD_INFO standard;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids) &&
        GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        std::uint64_t halves[2];
        static_assert(sizeof halves == sizeof ids.FileId.Identifier, "a 128-bit id");
        std::memcpy(halves, ids.FileId.Identifier, sizeof halves);
        return {true, {ids.VolumeSerialNumber, halves[0], halves[1]}, standard.Directory != 0};
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return {false, {0, 0, 0}, false};
    file_id id = {info.dwVolumeSerialNumber,
                  (std::uint64_t{info.nFileIndexHigh} << INDEX_LOW_BITS) | info.nFileIndexLow, 0};
    return {true, id, (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
}

// The identity of a handle, or of one of our own on the same file when the
// handle's access is too narrow to tell it.
identity identity_or_reopened(HANDLE handle)
{
    identity known = identity_of(handle);
    if (known.known)
        return known;
    HANDLE look = ReOpenFile(handle, FILE_READ_ATTRIBUTES, SHARE_ALL, 0);
    if (look == INVALID_HANDLE_VALUE)
        return known;
    known = identity_of(look);
    CloseHandle(look);
    return known;
}

// The C runtime reports inode 0 here, so identity is the volume serial number
// and the file id of each open handle.
file_facts measure_handle(HANDLE handle)
{
    file_facts facts = facts_of_kind(file_kind::unmeasured);
    DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return facts;
    if (type != FILE_TYPE_DISK) {
        facts.kind = file_kind::stream;
        return facts;
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle, &size)) {
        identity known = identity_or_reopened(handle);
        if (!known.known)
            return facts;
        facts.id = known.id;
        facts.length = size.QuadPart;
        facts.kind = known.folder ? file_kind::directory : file_kind::regular;
        return facts;
    }
    // A volume or a disk opened as a file has no file size, only a length.
    GET_LENGTH_INFORMATION info;
    DWORD got = 0;
    if (!DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &got,
                         nullptr))
        return facts;
    facts.length = info.Length.QuadPart;
    facts.kind = file_kind::block_device;
    identity known = identity_or_reopened(handle);
    if (known.known)
        facts.id = known.id;
    return facts;
}

// Which input a path that cannot be opened for writing is, or count: an
// input is held without write sharing, so that no open for writing tells.
// Looked at only then, since a look at a named pipe would take its client's place.
std::size_t input_at(const std::wstring& path, const file_facts* inputs, std::size_t count)
{
    HANDLE look = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (look == INVALID_HANDLE_VALUE)
        return count;
    std::size_t input = input_index(measure_handle(look), inputs, count);
    CloseHandle(look);
    return input;
}

// One byte far past any data a file can hold: runs of the tool wait for each
// other there, while other programs read and write the file's bytes freely.
constexpr DWORD RUN_LOCK_OFFSET_LOW = 0xFFFFFFFE;
constexpr DWORD RUN_LOCK_OFFSET_HIGH = 0xFFFFFFFF;
constexpr DWORD RUN_LOCK_LENGTH = 1;

// Waits for any other run writing this file to end, and holds it off until
// the file is closed; false when that could not be done.
bool hold_for_this_run(HANDLE file, progress_line& line)
{
    OVERLAPPED at = {};
    at.Offset = RUN_LOCK_OFFSET_LOW;
    at.OffsetHigh = RUN_LOCK_OFFSET_HIGH;
    // Tried first, so that only a lock that another run holds is waited for
    // and told; off a console the wait is one blocking call.
    DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    bool held = LockFileEx(file, now, 0, RUN_LOCK_LENGTH, 0, &at) != 0;
    while (!held && GetLastError() == ERROR_LOCK_VIOLATION && line.on_terminal) {
        count_waiting(line);
        Sleep(LOCK_RETRY_MS);
        held = LockFileEx(file, now, 0, RUN_LOCK_LENGTH, 0, &at) != 0;
    }
    if (!held && GetLastError() == ERROR_LOCK_VIOLATION)
        held = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, RUN_LOCK_LENGTH, 0, &at) != 0;
    if (held)
        return true;
    DWORD error = GetLastError();
    // A file system without locks cannot hold other runs off: go on unlocked.
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

// Measures a handle of our own, then closes it; unmeasured if none was had.
file_facts measure_closing(HANDLE look)
{
    file_facts facts = facts_of_kind(file_kind::unmeasured);
    if (look == INVALID_HANDLE_VALUE)
        return facts;
    facts = measure_handle(look);
    CloseHandle(look);
    return facts;
}

// Opens, to be looked at only, the file that handle is, by its final path.
HANDLE open_by_final_path(HANDLE handle)
{
    DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (needed == 0)
        return INVALID_HANDLE_VALUE;
    std::vector<wchar_t> name(needed + 1, L'\0');
    DWORD got = GetFinalPathNameByHandleW(handle, name.data(), needed + 1, FILE_NAME_NORMALIZED);
    if (got == 0 || got > needed)
        return INVALID_HANDLE_VALUE;
    return CreateFileW(name.data(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The device namespace's prefixes, and the names in it of a whole disk or of
// a volume, in upper case.
constexpr const wchar_t* DEVICE_PREFIXES[] = {L"\\\\.\\", L"\\\\?\\"};
constexpr const wchar_t* DISK_NAMES[] = {L"PHYSICALDRIVE",
                                         L"HARDDISK",
                                         L"CDROM",
                                         L"VOLUME{",
                                         L"GLOBALROOT\\DEVICE\\HARDDISK",
                                         L"GLOBALROOT\\DEVICE\\CDROM"};
constexpr std::size_t DRIVE_NAME_LENGTH = 2; // "E:"

// Whether path names a disk or a volume itself, not a file on it, however
// it is spelt.
bool names_disk_or_volume(const std::wstring& path)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::vector<wchar_t> full(needed + 1, L'\0');
    if (needed == 0 || GetFullPathNameW(path.c_str(), needed + 1, full.data(), nullptr) > needed)
        return false;
    std::wstring name(full.data());
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(towupper(c));
    for (const wchar_t* prefix : DEVICE_PREFIXES) {
        if (name.rfind(prefix, 0) != 0)
            continue;
        std::wstring rest = name.substr(std::wcslen(prefix));
        if (rest.size() == DRIVE_NAME_LENGTH && rest[1] == L':')
            return true;
        for (const wchar_t* disk : DISK_NAMES)
            if (rest.rfind(disk, 0) == 0)
                return rest.find(L'\\', std::wcslen(disk)) == std::wstring::npos;
    }
    return false;
}

// Opened as a file, a disk or a volume has no file size.
bool is_disk_or_volume(HANDLE handle)
{
    LARGE_INTEGER size;
    return GetFileType(handle) == FILE_TYPE_DISK && !GetFileSizeEx(handle, &size);
}

// Writing one would need read access to learn its length, writes a sector
// long and a volume locked and dismounted first, none of which is done yet.
void refuse_disk_or_volume(const progress_line& line, const char* path)
{
    print_error_line(std::string(line.invocation) + ": " + path +
                     ": disque ou volume, pas encore pris en charge\n");
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
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0],
                            size, nullptr, nullptr);
    return utf8;
}

} // namespace

std::size_t input_index(const file_facts& file, const file_facts* inputs, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (same_file(file, inputs[i]))
            return i;
    return count;
}

HANDLE handle_of(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

std::FILE* open_input(const char* path, int& error)
{
    std::wstring wide = widened(path);
    if (wide.empty()) {
        error = ERROR_INVALID_NAME;
        return nullptr;
    }
    // Read sharing only: while the run holds an input, nothing can open it
    // for writing, DEST by any other name included.
    std::FILE* stream = _wfsopen(wide.c_str(), L"rb", _SH_DENYWR);
    error = stream == nullptr ? static_cast<int>(GetLastError()) : NO_REASON;
    return stream;
}

int last_error()
{
    return static_cast<int>(GetLastError());
}

std::string reason_text(int error, bool input)
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
    default:
        break;
    }
    // Only an input is opened with a share mode that such a program's own refuses.
    if (error == ERROR_SHARING_VIOLATION && input)
        return "pris en ecriture par un autre programme";
    return system_text(static_cast<DWORD>(error));
}

file_facts measure_file(std::FILE* stream)
{
    return measure_handle(handle_of(stream));
}

// A shell's redirection may open standard output for writing alone, which
// cannot read what identifies it, or hand over a handle that has no name
// (Wine's, for a Unix file): a handle of our own, reopened or opened by its
// final path name, is asked then. A file whose volume still is not told is
// compared by its id alone; one without even that cannot be told from the
// inputs, and the run is refused before it writes anything.
file_facts measure_report_output()
{
    file_facts none = facts_of_kind(file_kind::stream);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // A console or a device keeps no bytes, and a pipe has no identity here.
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetConsoleMode(out, &mode) ||
        GetFileType(out) != FILE_TYPE_DISK)
        return none;
    file_facts facts = measure_handle(out);
    if (volume_known(facts))
        return facts;
    file_facts again = measure_closing(ReOpenFile(out, FILE_READ_ATTRIBUTES, SHARE_ALL, 0));
    if (!volume_known(again))
        again = measure_closing(open_by_final_path(out));
    if (volume_known(again))
        return again;
    if (!is_known(facts))
        facts.kind = file_kind::unmeasured;
    return facts;
}

output open_output(const char* path, const output_request& request, progress_line& line)
{
    // Inputs are held by their share mode: no run can open them for writing.
    const file_facts* inputs = request.inputs;
    std::size_t count = request.count;
    output result = {nullptr, open_verdict::cannot_open, count, {}, ERROR_INVALID_NAME};
    std::wstring wide = widened(path);
    if (wide.empty())
        return result;
    result.error = NO_REASON;
    if (names_disk_or_volume(wide)) {
        refuse_disk_or_volume(line, path);
        return result;
    }
    std::FILE* stream = open_for_writing(wide);
    if (stream == nullptr) {
        result.error = static_cast<int>(GetLastError());
        result.input = input_at(wide, inputs, count);
        if (result.input < count)
            result.verdict = open_verdict::same_as_input;
        return result;
    }
    HANDLE handle = handle_of(stream);
    if (is_disk_or_volume(handle)) {
        std::fclose(stream);
        refuse_disk_or_volume(line, path);
        return result;
    }
    // Measured only once no other run can still change it.
    bool held = GetFileType(handle) != FILE_TYPE_DISK || hold_for_this_run(handle, line);
    result.facts = held ? measure_handle(handle) : facts_of_kind(file_kind::unmeasured);
    if (!held || result.facts.kind == file_kind::unmeasured) {
        result.verdict = open_verdict::unmeasured;
    } else {
        // Standard output shares writing; opening did not truncate it.
        result.input = input_index(result.facts, inputs, count);
        result.verdict = result.input < count ? open_verdict::same_as_input : open_verdict::opened;
    }
    if (result.verdict == open_verdict::opened)
        result.stream = stream;
    else
        std::fclose(stream);
    return result;
}

read_back_result read_back(std::FILE* input, std::int64_t offset, void* bytes, std::size_t n)
{
    HANDLE handle = handle_of(input);
    // Read at an offset, then put back where the runtime left the handle.
    LARGE_INTEGER zero = {};
    LARGE_INTEGER kept = {};
    if (!SetFilePointerEx(handle, zero, &kept, FILE_CURRENT))
        return {false, 0, static_cast<int>(GetLastError())};
    read_back_result result = {true, 0, NO_REASON};
    auto* into = static_cast<unsigned char*>(bytes);
    while (result.ok && result.got < n) {
        OVERLAPPED at = {};
        auto from = static_cast<std::uint64_t>(offset) + result.got;
        at.Offset = static_cast<DWORD>(from);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - result.got, MAXDWORD));
        bool read = ReadFile(handle, into + result.got, want, &got, &at) != 0;
        DWORD error = read ? NO_ERROR : GetLastError();
        result.ok = read || error == ERROR_HANDLE_EOF;
        result.error = result.ok ? NO_REASON : static_cast<int>(error);
        if (!read || got == 0)
            break;
        result.got += got;
    }
    if (!SetFilePointerEx(handle, kept, nullptr, FILE_BEGIN) && result.ok)
        result = {false, result.got, static_cast<int>(GetLastError())};
    return result;
}

bool flush_to_device(std::FILE* stream)
{
    if (std::fflush(stream) != 0)
        return false;
    // A pipe or a console holds nothing back to flush.
    return FlushFileBuffers(handle_of(stream)) || GetLastError() == ERROR_INVALID_FUNCTION;
}

// Holes are copied as zeros here.
data_stretch next_data(std::FILE*, std::int64_t offset, std::int64_t length)
{
    return {DONE, offset, length};
}

std::int64_t current_length(std::FILE* stream)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(handle_of(stream), &size) ? size.QuadPart : -1;
}

bool seek_to(std::FILE* stream, std::int64_t offset)
{
    return _fseeki64(stream, offset, SEEK_SET) == 0;
}

bool ran_out_of_space(int error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool close_output(std::FILE* destination, file_kind kind, std::size_t, int& error)
{
    // Open twice, so that it can still be emptied once the close has failed.
    int spare = kind == file_kind::regular ? _dup(_fileno(destination)) : -1;
    if (kind == file_kind::regular && spare < 0) {
        error = static_cast<int>(GetLastError());
        // Without a spare a failed close could not be undone: fail first.
        (void)set_length(destination, 0);
        std::fclose(destination);
        return false;
    }
    bool closed = std::fclose(destination) == 0;
    error = closed ? NO_REASON : static_cast<int>(GetLastError());
    if (!closed && spare >= 0)
        (void)_chsize_s(spare, 0);
    if (spare >= 0)
        _close(spare);
    return closed;
}
