// SPDX-License-Identifier: MIT
// Which file a handle is, told by its volume and file id, and what standard
// output is.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "system.h"

namespace {

// A look at a file that gets in no one's way.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Bits in the low half of a file index.
constexpr int INDEX_LOW_BITS = 32;

// A pipe or a console has no identity here: those are never one of the
// inputs. A volume serial of 0 is one the host would not tell (Wine's, for a
// handle it was handed by a Unix shell): UNTOLD_DEVICE, only the file's own
// id is known.
bool is_known(const file_facts& facts)
{
    return facts.kind != file_kind::unmeasured && (facts.id.index != 0 || facts.id.index_high != 0);
}

bool volume_known(const file_facts& facts)
{
    return is_known(facts) && facts.id.device != UNTOLD_DEVICE;
}

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

} // namespace

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

host_file file_of(std::FILE* stream)
{
    return reinterpret_cast<host_file>(handle_of(stream));
}

file_facts measure_file(host_file file, bool)
{
    return measure_handle(reinterpret_cast<HANDLE>(file));
}

// A look at a named pipe would take its client's place: DEST is opened by
// its name, and compared once open.
looked look_at(const char*)
{
    return {NO_FILE, facts_of_kind(file_kind::unmeasured), false};
}
