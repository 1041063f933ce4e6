#include "insertion.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "host.h"
#include "talvor.h"

namespace {

// The old length of a destination whose old bytes lie everywhere and cannot
// be cut off: a block device.
constexpr std::int64_t OLD_BYTES_EVERYWHERE = INT64_MAX;

// The run's open files and its working memory.
struct files {
    std::FILE* insert;
    std::FILE* source;
    std::FILE* destination;
    unsigned char* head;     // INSERT_LENGTH bytes: IP.BIN's leading bytes
    unsigned char* chunk;    // WORK_BUFFER_SIZE bytes: what the body goes through
    unsigned char* zeros;    // ZERO_BLOCK bytes of zeros
    std::size_t head_length; // how many of them IP.BIN gave
    std::size_t step;        // how much of chunk one read asks for
    file_facts insert_facts;
    file_facts source_facts;
    file_facts destination_facts;
    std::int64_t source_length; // as measured at the start; -1 for a pipe and the like
    bool to_device;             // the destination is a block device
    bool find_zeros;            // the source hides its holes: find them in its bytes
};

// Where the block that holds chunk position at ends, block boundaries being
// those of the file.
std::size_t block_end(std::int64_t offset, std::size_t at, std::size_t n)
{
    auto into = static_cast<std::size_t>((offset + static_cast<std::int64_t>(at)) % ZERO_BLOCK);
    return std::min(n, at + ZERO_BLOCK - into);
}

bool whole_zero_block(const unsigned char* bytes, std::size_t n)
{
    return n == ZERO_BLOCK && bytes[0] == 0 && std::memcmp(bytes, bytes + 1, n - 1) == 0;
}

// Makes [offset, end) of the destination read as zeros where its old content
// lies, without writing them where it can: old content that runs to its end,
// or that cannot be punched out of a file, is cut off, which also frees its
// last block. Past *old_length there is nothing to clear; a device's old
// bytes are written over.
outcome clear_stretch(const files& f, std::int64_t offset, std::int64_t end,
                      std::int64_t* old_length)
{
    if (offset >= end || offset >= *old_length)
        return DONE;
    if (end < *old_length && punch_hole(f.destination, offset, end))
        return DONE;
    if (!f.to_device) {
        if (!set_length(f.destination, offset))
            return DESTINATION_UNWRITABLE;
        *old_length = offset;
        return DONE;
    }
    if (!seek_to(f.destination, offset))
        return DESTINATION_UNWRITABLE;
    while (offset < end) {
        auto n =
            static_cast<std::size_t>(std::min(end - offset, static_cast<std::int64_t>(ZERO_BLOCK)));
        if (write_out(f.destination, f.zeros, n) != n)
            return DESTINATION_UNWRITABLE;
        offset += static_cast<std::int64_t>(n);
    }
    return DONE;
}

// Writes n bytes of the chunk at offset but leaves a hole wherever a whole
// block is zeros, clearing the old bytes under it.
outcome write_sparse(const files& f, std::size_t n, std::int64_t offset, std::int64_t* old_length)
{
    std::size_t at = 0;
    while (at < n) {
        std::size_t end = block_end(offset, at, n);
        bool zeros = whole_zero_block(f.chunk + at, end - at);
        while (end < n) {
            std::size_t next = block_end(offset, end, n);
            if (whole_zero_block(f.chunk + end, next - end) != zeros)
                break;
            end = next;
        }
        std::int64_t from = offset + static_cast<std::int64_t>(at);
        std::int64_t to = offset + static_cast<std::int64_t>(end);
        outcome o = zeros ? clear_stretch(f, from, to, old_length) : DONE;
        if (o != DONE)
            return o;
        if (!zeros && (!seek_to(f.destination, from) ||
                       write_out(f.destination, f.chunk + at, end - at) != end - at))
            return DESTINATION_UNWRITABLE;
        at = end;
    }
    return seek_to(f.destination, offset + static_cast<std::int64_t>(n)) ? DONE
                                                                         : DESTINATION_UNWRITABLE;
}

// Copies from offset until end or the end of the source, with both streams
// already there. *offset follows every byte written, and so does what a stop
// keeps; *ended tells that the source ran out. fread only comes back short at
// end of file or on an error, so pipes are handled like files.
outcome copy_through(const files& f, std::int64_t end, std::int64_t* old_length,
                     std::int64_t* offset, bool* ended)
{
    *ended = false;
    while (*offset < end) {
        auto want =
            static_cast<std::size_t>(std::min(end - *offset, static_cast<std::int64_t>(f.step)));
        std::size_t got = std::fread(f.chunk, 1, want, f.source);
        if (std::ferror(f.source))
            return SOURCE_UNREADABLE;
        if (got > 0 && f.find_zeros) {
            outcome o = write_sparse(f, got, *offset, old_length);
            if (o != DONE)
                return o;
        } else if (got > 0 && write_out(f.destination, f.chunk, got) != got) {
            return DESTINATION_UNWRITABLE;
        }
        *offset += static_cast<std::int64_t>(got);
        keep_on_stop(*offset);
        if (got < want) {
            *ended = true;
            return DONE;
        }
    }
    return DONE;
}

// Copies [*offset, end) of the source to the same place: the kernel first
// while it is willing, then the buffer for whatever it left.
outcome copy_stretch(const files& f, std::int64_t end, std::int64_t* old_length, bool* kernel_works,
                     std::int64_t* offset, bool* ended)
{
    *ended = false;
    if (*kernel_works) {
        copied c = kernel_copy(f.source, f.destination, *offset, end - *offset);
        *offset += c.bytes;
        keep_on_stop(*offset);
        if (c.result != DONE)
            return c.result;
        if (*offset == end)
            return DONE;
        *kernel_works = false; // it said no or ran dry: do not ask again
    }
    if (!seek_to(f.source, *offset))
        return SOURCE_UNREADABLE;
    if (!seek_to(f.destination, *offset))
        return DESTINATION_UNWRITABLE;
    return copy_through(f, end, old_length, offset, ended);
}

// Copies a regular source from *reached on, stretch by stretch of data,
// clearing the old bytes under its holes, then whatever lies past the length
// it had when measured (files of /proc say 0). *reached is how far the
// destination holds only bytes of this run.
outcome copy_body(const files& f, std::int64_t old_length, std::int64_t* reached)
{
    std::int64_t length = f.source_length;
    // The kernel would copy hidden holes as zeros, unless it can share blocks.
    bool kernel_works = !f.find_zeros;
    if (f.find_zeros && share_blocks(f.source, f.destination, *reached, length)) {
        *reached = length;
        keep_on_stop(length);
    }
    bool ended = false;
    while (*reached < length && !ended) {
        // A file with as many blocks as bytes has no hole worth a walk.
        data_stretch data = f.source_facts.sparse ? next_data(f.source, *reached, length)
                                                  : data_stretch{DONE, *reached, length};
        if (data.result != DONE)
            return data.result;
        outcome o = clear_stretch(f, *reached, data.start, &old_length);
        if (o != DONE)
            return o;
        *reached = data.start;
        if (data.start < data.end) {
            o = copy_stretch(f, data.end, &old_length, &kernel_works, reached, &ended);
            if (o != DONE)
                return o;
        }
    }
    if (ended)
        return DONE;
    if (!seek_to(f.source, *reached))
        return SOURCE_UNREADABLE;
    if (!seek_to(f.destination, *reached))
        return DESTINATION_UNWRITABLE;
    return copy_through(f, INT64_MAX, &old_length, reached, &ended);
}

// Writes n bytes of IP.BIN over the start of the destination.
outcome lay_head(const files& f, std::size_t n)
{
    if (!seek_to(f.destination, 0) || write_out(f.destination, f.head, n) != n)
        return DESTINATION_UNWRITABLE;
    return DONE;
}

// Reads up to want bytes of the source and writes them at the destination's
// start with the head over them: IP.BIN's bytes, or zeros when the head is
// to be laid last. *ended tells that the source ran out.
outcome first_block(const files& f, std::size_t want, bool sealed, std::int64_t* written,
                    bool* ended)
{
    std::size_t got = std::fread(f.chunk, 1, want, f.source);
    if (std::ferror(f.source))
        return SOURCE_UNREADABLE;
    std::size_t n = std::min(f.head_length, got);
    if (sealed)
        std::memset(f.chunk, 0, n);
    else
        std::memcpy(f.chunk, f.head, n);
    if (write_out(f.destination, f.chunk, got) != got)
        return DESTINATION_UNWRITABLE;
    *written = static_cast<std::int64_t>(got);
    keep_on_stop(*written);
    *ended = got < want;
    return DONE;
}

// For a destination that cannot seek (a pipe, a character device): the head
// goes out in the first block and the rest streams behind it.
outcome stream_insertion(const files& f, std::int64_t* written)
{
    bool ended = false;
    outcome o = first_block(f, f.step, false, written, &ended);
    if (o != DONE || ended)
        return o;
    std::int64_t none = 0;
    return copy_through(f, INT64_MAX, &none, written, &ended);
}

// Writes zeros over the first n bytes of the destination in one write, so
// that no stop leaves them half done.
outcome seal_head(const files& f, std::int64_t n)
{
    auto count = static_cast<std::size_t>(n);
    if (count == 0)
        return DONE;
    std::memset(f.chunk, 0, count);
    if (!seek_to(f.destination, 0) || write_out(f.destination, f.chunk, count) != count)
        return DESTINATION_UNWRITABLE;
    return DONE;
}

// Writes all of the source but its head, which reads as zeros until it is
// laid last: a run that ends anyhow before then, killed included, never
// leaves a destination that looks finished. A file's head is never read:
// zeros cover old bytes under it, and a new file has none. The rest of the
// first block is copied on its own, so that the body starts on a block
// boundary, where the kernel can share blocks.
outcome write_body(const files& f, std::int64_t old_length, std::int64_t* length)
{
    bool ended = false;
    // A pipe, or a file of /proc that says it is empty, tells its length
    // only by running out.
    if (f.source_length <= 0) {
        outcome o = first_block(f, f.step, true, length, &ended);
        if (o != DONE || ended)
            return o;
        return copy_through(f, INT64_MAX, &old_length, length, &ended);
    }
    std::int64_t head = std::min(static_cast<std::int64_t>(f.head_length), f.source_length);
    outcome o = seal_head(f, std::min(head, old_length));
    if (o != DONE)
        return o;
    *length = head;
    keep_on_stop(head);
    std::int64_t first = std::min(static_cast<std::int64_t>(INSERT_LENGTH), f.source_length);
    bool kernel_works = !f.find_zeros;
    if (head < first) {
        o = copy_stretch(f, first, &old_length, &kernel_works, length, &ended);
        if (o != DONE || ended)
            return o;
    }
    return copy_body(f, old_length, length);
}

// Writes the whole destination over old_length old bytes (-1: a stream that
// has none). A file is rewritten in place, given its length and then its
// head; *kept is what it may keep if this fails, so that no old byte
// survives and no failed run looks complete.
outcome write_destination(const files& f, std::int64_t old_length, std::int64_t* kept)
{
    *kept = 0;
    if (old_length < 0)
        return stream_insertion(f, kept);
    std::int64_t length = 0;
    outcome o = write_body(f, old_length, &length);
    *kept = length;
    if (o != DONE)
        return o;
    // The body is whole from here on: a failure must not leave it looking done.
    *kept = 0;
    keep_on_stop(0);
    if (!f.to_device) {
        std::int64_t now = current_length(f.destination);
        if (now < 0 || (now != length && !set_length(f.destination, length)))
            return DESTINATION_UNWRITABLE;
    }
    // A device's late write errors must show before the head makes it look done.
    if (f.to_device && !flush_to_device(f.destination))
        return DESTINATION_UNWRITABLE;
    auto n = static_cast<std::size_t>(std::min(static_cast<std::int64_t>(f.head_length), length));
    return lay_head(f, n);
}

// Writes the destination. An old file rewritten in place may run out of
// space while its old blocks are still held (copy-on-write file systems): it
// is then emptied and written once more, as a new file would have been.
outcome insert_head(const files& f, std::int64_t* kept)
{
    std::int64_t old_length = f.to_device ? OLD_BYTES_EVERYWHERE : f.destination_facts.length;
    outcome o = write_destination(f, old_length, kept);
    bool again = o == DESTINATION_UNWRITABLE && ran_out_of_space() && !f.to_device &&
                 old_length > 0 && f.source_length >= 0;
    if (!again)
        return o;
    keep_on_stop(0);
    if (!set_length(f.destination, 0) || !seek_to(f.destination, 0) || !seek_to(f.source, 0))
        return o;
    return write_destination(f, 0, kept);
}

// How much one read asks for: a file is read a buffer at a time, a pipe a
// quarter of what it holds, so that both ends keep busy.
std::size_t read_step(std::FILE* source, file_kind kind)
{
    if (kind != file_kind::stream)
        return WORK_BUFFER_SIZE;
    std::size_t pipe = widen_pipe(source, PIPE_SIZE);
    return std::clamp(pipe / 4, STREAM_READ_SIZE, WORK_BUFFER_SIZE);
}

[[noreturn]] void cannot_open(const char* name, const char* path, int status)
{
    print_text("%s: Je ne peux pas ouvrir %s\n", name, path);
    std::exit(status);
}

[[noreturn]] void same_file_refused(const char* name, const char* destination_path,
                                    const char* input_path)
{
    print_text("%s: %s et %s sont le meme fichier\n", name, destination_path, input_path);
    std::exit(STATUS_NO_DESTINATION);
}

[[noreturn]] void cannot_read(const char* name, const char* path)
{
    print_text("%s: Je ne peux pas lire %s\n", name, path);
    std::exit(STATUS_READ_FAILED);
}

[[noreturn]] void cannot_write(const char* name, const char* path)
{
    print_text("%s: Je ne peux pas ecrire %s\n", name, path);
    std::exit(STATUS_WRITE_FAILED);
}

// Cuts a regular destination back to what this run wrote before it failed;
// one that could not be measured may be regular too.
void cut_back(const files& f, std::int64_t kept)
{
    keep_on_stop(kept);
    file_kind kind = f.destination_facts.kind;
    if (kind == file_kind::regular || kind == file_kind::unmeasured)
        shorten_to(f.destination, kept);
}

void print_report(const char* name)
{
    print_text("\n");
    print_text("%s: fini!!!\n\n%s insere avec succes!!!! Felicitation.", name, INSERT_FILE_NAME);
    print_text("\n");
    print_text("\n");
    print_text("%s\n", CREDIT_LINE);
    print_text("%s!!!!!!!\n", SIGN_OFF);
    print_text("\n");
}

// Opens IP.BIN and the source, in that order, and measures them.
void open_inputs(files& f, const char* name, const char* source_path)
{
    f.insert = open_input(INSERT_FILE_NAME);
    if (f.insert == nullptr) {
        print_text("%s: Je ne peux pas ouvrir IP.BIN\n", name);
        std::exit(STATUS_NO_INSERT_FILE);
    }
    f.source = open_input(source_path);
    if (f.source == nullptr)
        cannot_open(name, source_path, STATUS_NO_SOURCE);
    // Without its identity IP.BIN could be the destination unnoticed.
    f.insert_facts = measure_file(f.insert);
    if (f.insert_facts.kind == file_kind::unmeasured)
        cannot_read(name, INSERT_FILE_NAME);
    f.source_facts = measure_file(f.source);
    if (f.source_facts.kind == file_kind::unmeasured)
        cannot_read(name, source_path);
}

// Opens the destination, refusing one that is an input before anything is
// written to it, and measures it.
void open_destination(files& f, const char* name, const char* source_path,
                      const char* destination_path)
{
    // Compared with both inputs as open files, so that no name swapped in
    // between can make us write over one of them.
    const file_facts inputs[] = {f.source_facts, f.insert_facts};
    output out = open_output(destination_path, inputs, std::size(inputs));
    switch (out.verdict) {
    case open_verdict::same_as_input:
        same_file_refused(name, destination_path, out.input == 0 ? source_path : INSERT_FILE_NAME);
    case open_verdict::cannot_open:
        cannot_open(name, destination_path, STATUS_NO_DESTINATION);
    case open_verdict::unmeasured:
        // Nothing was written, and it may be an input: it is left as it is.
        cannot_write(name, destination_path);
    case open_verdict::opened:
        break;
    }
    f.destination = out.stream;
    f.destination_facts = out.facts;
    // Every write goes straight to the file, so a failure knows what landed.
    std::setvbuf(f.destination, nullptr, _IONBF, 0);
}

// What the copy depends on, from what was measured before its first byte.
void plan(files& f)
{
    const file_facts& in = f.source_facts;
    const file_facts& out = f.destination_facts;
    f.source_length = in.length;
    f.step = read_step(f.source, in.kind);
    f.to_device = out.kind == file_kind::block_device;
    // Holes can only be left in what can seek.
    f.find_zeros = in.hides_holes && out.kind != file_kind::stream;
}

} // namespace

void run_insertion(const char* name, const char* source_path, const char* destination_path)
{
    files f = {};
    open_inputs(f, name, source_path);
    open_destination(f, name, source_path, destination_path);
    guard_destination(f.destination, f.destination_facts.kind);

    auto* buffer =
        static_cast<unsigned char*>(std::malloc(INSERT_LENGTH + WORK_BUFFER_SIZE + ZERO_BLOCK));
    if (buffer == nullptr) {
        cut_back(f, 0);
        print_text("%s: Je ne trouve pas le buffer de travail\n", name);
        std::exit(STATUS_NO_BUFFER);
    }
    f.head = buffer;
    f.chunk = buffer + INSERT_LENGTH;
    f.zeros = f.chunk + WORK_BUFFER_SIZE;
    std::memset(f.zeros, 0, ZERO_BLOCK);
    plan(f);
    std::int64_t kept = 0;
    f.head_length = std::fread(f.head, 1, INSERT_LENGTH, f.insert);
    outcome o = std::ferror(f.insert) ? INSERT_UNREADABLE : insert_head(f, &kept);
    if (o != DONE)
        cut_back(f, kept);
    switch (o) {
    case SOURCE_UNREADABLE:
        cannot_read(name, source_path);
    case INSERT_UNREADABLE:
        cannot_read(name, INSERT_FILE_NAME);
    case DESTINATION_UNWRITABLE:
        cannot_write(name, destination_path);
    case DONE:
        break;
    }

    // A device reports its write errors only when asked to flush.
    if (f.to_device && !flush_to_device(f.destination))
        cannot_write(name, destination_path);
    // Inputs lose nothing if their close fails; the destination may.
    std::fclose(f.source);
    release_destination();
    if (!close_output(f.destination, f.destination_facts.kind))
        cannot_write(name, destination_path);
    std::fclose(f.insert);
    std::free(buffer);
    print_report(name);
    std::exit(STATUS_OK);
}
