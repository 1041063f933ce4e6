// SPDX-License-Identifier: MIT
// Whether a handle is a whole disk or volume, from what Windows answered about
// it: apart from <windows.h>, to be checked anywhere with answers no emulator gives.
#ifndef TALVOR_WINDOWS_DEVICES_H
#define TALVOR_WINDOWS_DEVICES_H

#include <cstdint>

// What Windows answered about a handle, each false when the call failed.
struct device_answers {
    bool device_told;              // the file system's device information:
    std::uint32_t device_type;     // its FILE_DEVICE_ type
    std::uint32_t characteristics; // and characteristics
    bool standard_told;            // the standard information (size, folder) of a file
    bool geometry_told;            // a disk's geometry control code
};

// Windows's device types of disks and volumes, and the mark of a mounted one.
constexpr std::uint32_t DEVICE_CD_ROM = 0x02;
constexpr std::uint32_t DEVICE_DISK = 0x07;
constexpr std::uint32_t DEVICE_VIRTUAL_DISK = 0x24;
constexpr std::uint32_t DEVICE_DVD = 0x33;
constexpr std::uint32_t DEVICE_IS_MOUNTED = 0x20;

// A file is served by a mounted file system and tells its size; a disk or volume
// opened itself does not, and is a storage device or answers as a disk.
inline bool disk_or_volume(const device_answers& a)
{
    std::uint32_t type = a.device_type;
    bool storage = a.device_told && (type == DEVICE_DISK || type == DEVICE_CD_ROM ||
                                     type == DEVICE_VIRTUAL_DISK || type == DEVICE_DVD);
    bool file = a.standard_told && a.device_told && (a.characteristics & DEVICE_IS_MOUNTED) != 0;
    return !file && (storage || a.geometry_told);
}

#endif
