#include "insertion.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform.h"
#include "talvor.h"

namespace {

// What went wrong, and so which message names which file.
enum fault { FAULT_NONE, FAULT_READ_SOURCE, FAULT_READ_INSERT, FAULT_WRITE };

fault fault_of(copy_fault f)
{
    switch (f) {
    case COPY_READ_FAILED:
        return FAULT_READ_SOURCE;
    case COPY_WRITE_FAILED:
        return FAULT_WRITE;
    default:
        return FAULT_NONE;
    }
}

// Copies the rest of in to out; fread only comes back short at end of file
// or on an error, so pipes are handled like files.
copy_fault stream_rest(std::FILE* in, std::FILE* out, unsigned char* buffer, std::int64_t* copied)
{
    for (;;) {
        std::size_t got = std::fread(buffer, 1, WORK_BUFFER_SIZE, in);
        if (got > 0 && std::fwrite(buffer, 1, got, out) != got)
            return COPY_WRITE_FAILED;
        *copied += static_cast<std::int64_t>(got);
        if (got < WORK_BUFFER_SIZE)
            return std::ferror(in) ? COPY_READ_FAILED : COPY_OK;
    }
}

// Reads the first block of the source, lays IP.BIN over its head in place,
// writes it, then streams the rest: nothing needs seeking or measuring.
fault stream_insertion(std::FILE* insert, std::FILE* source, std::FILE* destination,
                       unsigned char* buffer)
{
    std::size_t got = std::fread(buffer, 1, WORK_BUFFER_SIZE, source);
    if (std::ferror(source))
        return FAULT_READ_SOURCE;
    std::fread(buffer, 1, std::min(INSERT_LENGTH, got), insert);
    if (std::ferror(insert))
        return FAULT_READ_INSERT;
    if (std::fwrite(buffer, 1, got, destination) != got)
        return FAULT_WRITE;
    if (got < WORK_BUFFER_SIZE)
        return FAULT_NONE;
    std::int64_t rest = 0;
    return fault_of(stream_rest(source, destination, buffer, &rest));
}

// Overwrites the head of a destination that already holds length bytes.
fault lay_head(std::FILE* insert, std::FILE* destination, unsigned char* buffer,
               std::int64_t length)
{
    std::size_t wanted = length < static_cast<std::int64_t>(INSERT_LENGTH)
                             ? static_cast<std::size_t>(length)
                             : INSERT_LENGTH;
    std::size_t got = std::fread(buffer, 1, wanted, insert);
    if (std::ferror(insert))
        return FAULT_READ_INSERT;
    if (!seek_to(destination, 0) || std::fwrite(buffer, 1, got, destination) != got)
        return FAULT_WRITE;
    return FAULT_NONE;
}

// The kernel copies the body where it can; the buffer finishes what it left,
// then the head goes on top. Offsets stay the same on both sides throughout,
// so no byte is repeated, skipped or padded.
fault insert_head(std::FILE* insert, std::FILE* source, std::FILE* destination,
                  unsigned char* buffer)
{
    std::int64_t copied = 0;
    copy_fault f = kernel_copy(source, destination, &copied);
    if (f != COPY_OK)
        return fault_of(f);
    if (copied == 0)
        return stream_insertion(insert, source, destination, buffer);
    if (!seek_to(source, copied))
        return FAULT_READ_SOURCE;
    if (!seek_to(destination, copied))
        return FAULT_WRITE;
    f = stream_rest(source, destination, buffer, &copied);
    if (f != COPY_OK)
        return fault_of(f);
    return lay_head(insert, destination, buffer, copied);
}

[[noreturn]] void cannot_open(const char* name, const char* path, int status)
{
    std::printf("%s: Je ne peux pas ouvrir %s\n", name, path);
    std::exit(status);
}

[[noreturn]] void same_file_refused(const char* name, const char* destination_path,
                                    const char* input_path)
{
    std::printf("%s: %s et %s sont le meme fichier\n", name, destination_path, input_path);
    std::exit(STATUS_NO_DESTINATION);
}

[[noreturn]] void cannot_read(const char* name, const char* path)
{
    std::printf("%s: Je ne peux pas lire %s\n", name, path);
    std::exit(STATUS_READ_FAILED);
}

[[noreturn]] void cannot_write(const char* name, const char* path)
{
    std::printf("%s: Je ne peux pas ecrire %s\n", name, path);
    std::exit(STATUS_WRITE_FAILED);
}

void print_report(const char* name)
{
    std::printf("\n");
    std::printf("%s: fini!!!\n\n%s insere avec succes!!!! Felicitation.", name, INSERT_FILE_NAME);
    std::printf("\n");
    std::printf("\n");
    std::printf("%s\n", CREDIT_LINE);
    std::printf("%s!!!!!!!\n", SIGN_OFF);
    std::printf("\n");
}

} // namespace

void run_insertion(const char* name, const char* source_path, const char* destination_path)
{
    std::FILE* insert = std::fopen(INSERT_FILE_NAME, "rb");
    if (insert == nullptr) {
        std::printf("%s: Je ne peux pas ouvrir IP.BIN\n", name);
        std::exit(STATUS_NO_INSERT_FILE);
    }
    std::FILE* source = std::fopen(source_path, "rb");
    if (source == nullptr)
        cannot_open(name, source_path, STATUS_NO_SOURCE);
    // Opening for writing truncates: an input must never be the destination.
    if (same_file(source, destination_path))
        same_file_refused(name, destination_path, source_path);
    if (same_file(insert, destination_path))
        same_file_refused(name, destination_path, INSERT_FILE_NAME);
    std::FILE* destination = std::fopen(destination_path, "wb");
    if (destination == nullptr)
        cannot_open(name, destination_path, STATUS_NO_DESTINATION);

    auto* buffer = static_cast<unsigned char*>(std::malloc(WORK_BUFFER_SIZE));
    if (buffer == nullptr) {
        std::printf("%s: Je ne trouve pas le buffer de travail\n", name);
        std::exit(STATUS_NO_BUFFER);
    }
    switch (insert_head(insert, source, destination, buffer)) {
    case FAULT_READ_SOURCE:
        cannot_read(name, source_path);
    case FAULT_READ_INSERT:
        cannot_read(name, INSERT_FILE_NAME);
    case FAULT_WRITE:
        cannot_write(name, destination_path);
    case FAULT_NONE:
        break;
    }

    // Inputs lose nothing if their close fails; the destination may.
    std::fclose(source);
    if (std::fclose(destination) != 0)
        cannot_write(name, destination_path);
    std::fclose(insert);
    std::free(buffer);
    print_report(name);
    std::exit(STATUS_OK);
}
