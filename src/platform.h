// The few host services that the standard library does not offer portably.
#ifndef TALVOR_PLATFORM_H
#define TALVOR_PLATFORM_H

#include <cstdint>
#include <cstdio>

enum copy_fault { COPY_OK, COPY_READ_FAILED, COPY_WRITE_FAILED };

// True when path names an existing file that is the very file open as stream,
// whatever the spelling (links, "..", aliases).
bool same_file(std::FILE* stream, const char* path);

// Lets the kernel copy source into destination from offset 0 where the host
// can, sharing extents where the file system does. *copied is how far it got:
// 0 when it could not start, which asks the caller to stream instead. Both
// streams must be unread and unwritten; their positions are left untouched.
copy_fault kernel_copy(std::FILE* source, std::FILE* destination, std::int64_t* copied);

// Sets the stream's position with a 64-bit offset on every host.
bool seek_to(std::FILE* stream, std::int64_t offset);

#endif
