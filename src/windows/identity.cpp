// SPDX-License-Identifier: MIT
// What a handle is (kind, length, volume and file id), whether it is a disk
// or a volume, what a name is, and what the standard streams are.
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "devices.h"
#include "system.h"

namespace {

// A look at a file that gets in no one's way.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Bits in the low half of a file index.
constexpr int INDEX_LOW_BITS = 32;

// A pipe or a console has no id here, and is never an input. A volume serial of 0
// is untold (Wine's, for a handle a Unix shell gave it): only the file's id is known.
bool is_known(const file_facts& facts)
{
    return facts.kind != file_kind::unmeasured && (facts.id.index != 0 || facts.id.index_high != 0);
}

bool volume_known(const file_facts& facts)
{
    return is_known(facts) && facts.id.device != UNTOLD_DEVICE;
}

// Which file a handle is, and whether it is a folder; unmeasured if it cannot tell.
// FileIdInfo first: its 128-bit id is unique where the old 64-bit index is not
// (ReFS), and like FileStandardInfo it needs no access right; the old call does.
file_facts identity_of(HANDLE handle)
{
    file_facts facts = facts_of_kind(file_kind::unmeasured);
    FILE_ID_INFO ids;
    FILE_STANDARD_INFO standard;
    BY_HANDLE_FILE_INFORMATION info;
    bool folder = false;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &ids, sizeof ids) &&
        GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        std::uint64_t halves[2];
        static_assert(sizeof halves == sizeof ids.FileId.Identifier, "a 128-bit id");
        std::memcpy(halves, ids.FileId.Identifier, sizeof halves);
        facts.id = {ids.VolumeSerialNumber, halves[0], halves[1]};
        folder = standard.Directory != 0;
    } else if (GetFileInformationByHandle(handle, &info)) {
        facts.id = {info.dwVolumeSerialNumber,
                    (std::uint64_t{info.nFileIndexHigh} << INDEX_LOW_BITS) | info.nFileIndexLow, 0};
        folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } else {
        return facts;
    }
    facts.kind = folder ? file_kind::directory : file_kind::regular;
    return facts;
}

// The identity of a handle, or of a reopened one where its access is too narrow to tell it.
file_facts identity_or_reopened(HANDLE handle)
{
    file_facts known = identity_of(handle);
    if (known.kind != file_kind::unmeasured)
        return known;
    HANDLE look = ReOpenFile(handle, FILE_READ_ATTRIBUTES, SHARE_ALL, 0);
    if (look == INVALID_HANDLE_VALUE)
        return known;
    known = identity_of(look);
    CloseHandle(look);
    return known;
}

// The C runtime reports inode 0 here: a file is known by its volume serial and file id.
file_facts measure_handle(HANDLE handle)
{
    file_facts facts = facts_of_kind(file_kind::unmeasured);
    DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return facts;
    if (type != FILE_TYPE_DISK)
        return facts_of_kind(file_kind::stream);
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle, &size)) {
        file_facts file = identity_or_reopened(handle);
        if (file.kind == file_kind::unmeasured)
            return file;
        // A file stands on itself: nothing under it is told apart here.
        file.under.place[0] = {file.id, 0, INT64_MAX};
        file.under.count = 1;
        file.length = size.QuadPart;
        return file;
    }
    // A volume or a disk opened as a file has no file size, only a length.
    GET_LENGTH_INFORMATION info;
    DWORD got = 0;
    if (!DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &got,
                         nullptr))
        return facts;
    facts.length = info.Length.QuadPart;
    facts.kind = file_kind::block_device;
    facts.id = identity_or_reopened(handle).id;
    return facts;
}

// Measures a handle of our own, then closes it; unmeasured if none was had.
file_facts measure_closing(HANDLE look)
{
    if (look == INVALID_HANDLE_VALUE)
        return facts_of_kind(file_kind::unmeasured);
    file_facts facts = measure_handle(look);
    CloseHandle(look);
    return facts;
}

// Opens path, a folder too, to be looked at only: no access to its bytes.
HANDLE open_to_look(const std::wstring& path)
{
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Opens, to be looked at only, the file that handle is, by its final path.
HANDLE open_by_final_path(HANDLE handle)
{
    DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    std::vector<wchar_t> name(needed + 1, L'\0');
    DWORD got = GetFinalPathNameByHandleW(handle, name.data(), needed + 1, FILE_NAME_NORMALIZED);
    if (needed == 0 || got == 0 || got > needed)
        return INVALID_HANDLE_VALUE;
    return open_to_look(name.data());
}

// A look at a named pipe would take its client's place: none is looked at before it opens.
bool names_a_pipe(const std::wstring& path)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::vector<wchar_t> full(needed + 1, L'\0');
    if (needed == 0 || GetFullPathNameW(path.c_str(), needed + 1, full.data(), nullptr) > needed)
        return false;
    for (const wchar_t* prefix : {L"\\\\.\\pipe\\", L"\\\\?\\pipe\\"})
        if (_wcsnicmp(full.data(), prefix, std::wcslen(prefix)) == 0)
            return true;
    return false;
}

} // namespace

// What the handle's device answers, for devices.h to tell a disk or volume from a file.
bool is_disk_or_volume(HANDLE handle)
{
    device_answers answers = {};
    FILE_FS_DEVICE_INFORMATION device = {};
    IO_STATUS_BLOCK io = {};
    answers.device_told = NtQueryVolumeInformationFile(handle, &io, &device, sizeof device,
                                                       FileFsDeviceInformation) >= 0;
    answers.device_type = device.DeviceType;
    answers.characteristics = device.Characteristics;
    FILE_STANDARD_INFO standard;
    answers.standard_told =
        GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) != 0;
    // Asks for no access right, so that a handle opened only to look can tell.
    DISK_GEOMETRY geometry;
    DWORD got = 0;
    answers.geometry_told = DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                                            &geometry, sizeof geometry, &got, nullptr) != 0;
    return disk_or_volume(answers);
}
static_assert(DEVICE_DISK == FILE_DEVICE_DISK && DEVICE_CD_ROM == FILE_DEVICE_CD_ROM &&
                  DEVICE_VIRTUAL_DISK == FILE_DEVICE_VIRTUAL_DISK && DEVICE_DVD == FILE_DEVICE_DVD,
              "Windows's device types");

int refused_before_open(const std::wstring& path)
{
    HANDLE look = names_a_pipe(path) ? INVALID_HANDLE_VALUE : open_to_look(path);
    if (look == INVALID_HANDLE_VALUE)
        return NO_REASON;
    int reason = NO_REASON;
    if (is_disk_or_volume(look))
        reason = REASON_DISK_OR_VOLUME;
    else if (identity_or_reopened(look).kind == file_kind::directory)
        reason = ERROR_DIRECTORY;
    CloseHandle(look);
    return reason;
}

file_facts measure_path(const std::wstring& path)
{
    return measure_closing(open_to_look(path));
}

// DEST is opened by its name, and compared once open: the look only tells.
looked look_at(const char* path)
{
    std::wstring wide = widened(path);
    bool lookable = !wide.empty() && !names_a_pipe(wide);
    file_facts facts = lookable ? measure_path(wide) : facts_of_kind(file_kind::unmeasured);
    return {NO_FILE, facts, false, false};
}

// A shell's handle may be for writing alone, which cannot tell its id, or have no
// name (Wine's, for a Unix file): one of our own, reopened or by final path, is
// asked then. Still no volume: compared by id alone; no id either: unmeasured.
file_facts measure_standard(standard_stream which)
{
    HANDLE out =
        GetStdHandle(which == standard_stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    // A console or a device keeps no bytes, and a pipe has no identity here.
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetConsoleMode(out, &mode) ||
        GetFileType(out) != FILE_TYPE_DISK)
        return facts_of_kind(file_kind::stream);
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
