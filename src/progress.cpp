// SPDX-License-Identifier: MIT
#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "host.h"
#include "talvor.h"

namespace {

constexpr const char* UNITS[] = {"o", "Kio", "Mio", "Gio", "Tio", "Pio", "Eio"};
constexpr double UNIT_STEP = 1024.0;
// What rounds up to the next whole number, or to the next tenth.
constexpr double HALF_UNIT = 0.5;
constexpr double HALF_TENTH = 0.05;
// A rate of ten or more in its unit needs no decimal to be read.
constexpr double WHOLE_RATE_FROM = 10.0 - HALF_TENTH;
constexpr double PERCENT = 100.0;
constexpr std::int64_t MS_PER_SECOND = 1000;
constexpr long long SECONDS_PER_MINUTE = 60;
constexpr long long SECONDS_PER_HOUR = 3600;
// Past this a time left says nothing worth reading.
constexpr double MOST_SECONDS_LEFT = 100.0 * SECONDS_PER_HOUR;
// The top bits of a UTF-8 byte that carries on a character.
constexpr unsigned UTF8_LEAD_MASK = 0xC0;
constexpr unsigned UTF8_CONTINUATION = 0x80;
// Room for one field of the line: a size, a rate or a time left.
constexpr std::size_t FIELD_SIZE = 48;

// Bytes in the largest unit that keeps them at 1 or more ("1024.0" never
// shows), with one decimal, or whole for octets and, when asked, from ten on.
void format_bytes(char* text, std::size_t size, double bytes, bool whole_from_ten)
{
    std::size_t unit = 0;
    double value = std::max(bytes, 0.0);
    for (;;) {
        bool whole = unit == 0 || (whole_from_ten && value >= WHOLE_RATE_FROM);
        double top = UNIT_STEP - (whole ? HALF_UNIT : HALF_TENTH);
        if (value < top || unit + 1 == std::size(UNITS)) {
            std::snprintf(text, size, whole ? "%.0f %s" : "%.1f %s", value, UNITS[unit]);
            return;
        }
        value /= UNIT_STEP;
        ++unit;
    }
}

void format_time_left(char* text, std::size_t size, long long seconds)
{
    if (seconds < SECONDS_PER_MINUTE)
        std::snprintf(text, size, ", encore %lld s", seconds);
    else if (seconds < SECONDS_PER_HOUR)
        std::snprintf(text, size, ", encore %lld min %lld s", seconds / SECONDS_PER_MINUTE,
                      seconds % SECONDS_PER_MINUTE);
    else
        std::snprintf(text, size, ", encore %lld h %lld min", seconds / SECONDS_PER_HOUR,
                      seconds % SECONDS_PER_HOUR / SECONDS_PER_MINUTE);
}

// The fields of the line, in the order it shows them, each whole or empty.
enum field { NAME, DESTINATION, SIZES, RATE, TAIL, ON_WAY, FIELDS };
// Left out in this order, up to FIELDS, when the row is narrow: the sizes give
// way to the share done alone, which stays. After a stop, SIZES says so and
// ON_WAY what the run waits for.
constexpr field COUNTS_LEFT_OUT[] = {DESTINATION, ON_WAY, NAME, RATE, SIZES, TAIL, FIELDS};
constexpr field STOP_LEFT_OUT[] = {DESTINATION, NAME, ON_WAY, FIELDS};

void take_mark(progress_clock& c, std::int64_t ms, std::int64_t done)
{
    const progress_mark& last = c.marks[(c.next_mark + RATE_MARKS - 1) % RATE_MARKS];
    if (c.mark_count > 0 && ms - last.ms < RATE_MARK_MS)
        return;
    c.marks[c.next_mark] = {ms, done};
    c.next_mark = (c.next_mark + 1) % RATE_MARKS;
    c.mark_count = std::min(c.mark_count + 1, RATE_MARKS);
}

// Bytes a second since the newest mark at least RATE_SPAN_MS old, or the
// oldest there is: it falls to nothing once nothing has moved for a span.
double rate_over_span(const progress_clock& c, std::int64_t ms, std::int64_t done)
{
    if (c.mark_count == 0)
        return -1.0;
    progress_mark from = {};
    for (std::size_t i = 1; i <= c.mark_count; ++i) {
        from = c.marks[(c.next_mark + RATE_MARKS - i) % RATE_MARKS];
        if (ms - from.ms >= RATE_SPAN_MS)
            break;
    }
    auto seconds = static_cast<double>(ms - from.ms) / static_cast<double>(MS_PER_SECOND);
    auto bytes = static_cast<double>(std::max(done - from.bytes, std::int64_t{0}));
    return seconds > 0 ? bytes / seconds : -1.0;
}

// The bytes done, of the total with the share done when there is one, or
// the share done alone.
void format_sizes(char* text, std::size_t size, progress_view view, bool share_alone)
{
    char done[FIELD_SIZE];
    char total[FIELD_SIZE];
    format_bytes(done, sizeof done, static_cast<double>(view.done), false);
    if (view.total <= 0) {
        std::snprintf(text, size, "%s", done);
        return;
    }
    format_bytes(total, sizeof total, static_cast<double>(view.total), false);
    // Floored, so that 100% means every byte.
    double percent = std::min(
        std::floor(PERCENT * static_cast<double>(view.done) / static_cast<double>(view.total)),
        PERCENT);
    if (share_alone)
        std::snprintf(text, size, "%.0f%%", percent);
    else
        std::snprintf(text, size, "%s sur %s (%.0f%%)", done, total, percent);
}

// The fields of a view, each with the separator that goes before it.
void format_fields(char (&fields)[FIELDS][TERMINAL_LINE_SIZE], const char* name, progress_view view)
{
    std::snprintf(fields[NAME], sizeof fields[NAME], "%s: ", name);
    if (view.destination != nullptr && view.destination[0] != '\0')
        std::snprintf(fields[DESTINATION], sizeof fields[DESTINATION], "%s: ", view.destination);
    char on_way[FIELD_SIZE];
    format_bytes(on_way, sizeof on_way, static_cast<double>(view.on_way), false);
    // A stop that the kernel holds: the bytes it lets reach the device first.
    if (view.stopping) {
        std::snprintf(fields[SIZES], sizeof fields[SIZES], "arret demande");
        std::snprintf(fields[ON_WAY], sizeof fields[ON_WAY], ", attend %s%s",
                      view.on_way > 0 ? on_way : "que le systeme rende la main",
                      view.on_way > 0 ? " en route" : "");
        return;
    }
    format_sizes(fields[SIZES], sizeof fields[SIZES], view, false);
    bool stalled = (view.total < 0 || view.done < view.total) && view.still_ms >= STALL_AFTER_MS;
    if (view.rate >= 0) {
        char bytes[FIELD_SIZE];
        // Stalled, the rate is what it is now, whatever the span still holds.
        format_bytes(bytes, sizeof bytes, stalled ? 0.0 : view.rate, true);
        std::snprintf(fields[RATE], sizeof fields[RATE], ", %s/s", bytes);
    }
    double seconds =
        view.rate > 0 ? std::ceil(static_cast<double>(view.total - view.done) / view.rate) : 0;
    if (stalled)
        std::snprintf(fields[TAIL], sizeof fields[TAIL], ", bloque depuis %lld s",
                      static_cast<long long>(view.still_ms / MS_PER_SECOND));
    else if (view.total > view.done && seconds > 0 && seconds < MOST_SECONDS_LEFT)
        format_time_left(fields[TAIL], sizeof fields[TAIL], static_cast<long long>(seconds));
    if (view.on_way > 0)
        std::snprintf(fields[ON_WAY], sizeof fields[ON_WAY], ", %s en route", on_way);
}

// Called by the host's thread every LINE_TICK_MS or so, with the
// milliseconds run since start_progress, stops left out.
void tick_progress(void* context, std::int64_t ms)
{
    auto& line = *static_cast<progress_line*>(context);
    progress_clock& c = line.clock;
    bool waiting = line.waiting.load(std::memory_order_relaxed);
    std::int64_t done = line.done.load(std::memory_order_relaxed);
    // The rate and the stall start afresh once a wait for another run is over.
    if (waiting || done != c.moved.bytes)
        c.moved.ms = ms;
    if (waiting) {
        c.mark_count = 0;
    } else {
        c.moved.bytes = done;
        take_mark(c, ms, done);
    }
    // A stop is told at once: the kernel may hold the run for long yet.
    bool stopping = stop_heard();
    bool due = ms >= PROGRESS_DELAY_MS && ms - c.drawn_ms >= PROGRESS_INTERVAL_MS;
    if (!due && (!stopping || c.told_stop))
        return;
    c.drawn_ms = ms;
    c.told_stop = stopping;
    bool tell_wait = waiting && !stopping;
    if (tell_wait && c.told_waiting)
        return;
    c.told_waiting = c.told_waiting || waiting;
    char text[TERMINAL_LINE_SIZE];
    std::size_t columns = terminal_columns();
    if (tell_wait) {
        std::snprintf(text, sizeof text, "%s: en attente de %s, pris par une autre execution",
                      line.name, line.destination);
    } else {
        std::int64_t sent = line.sent.load(std::memory_order_relaxed);
        progress_view view = {done,
                              line.total.load(std::memory_order_relaxed),
                              rate_over_span(c, ms, done),
                              std::max(sent - done, std::int64_t{0}),
                              ms - c.moved.ms,
                              line.destination_name,
                              stopping};
        describe_progress(text, sizeof text, line.name, view, columns);
    }
    // The host gets text fitted to the row, which covers all of it.
    char fitted[TERMINAL_LINE_SIZE + 1];
    draw_terminal_line(fitted, fit_line(fitted, sizeof fitted, text, columns));
}

} // namespace

const char* tool_name(const char* invocation)
{
    const char* name = invocation;
    for (const char* c = invocation; *c != '\0'; ++c)
        if (std::strchr(DIRECTORY_ENDS, *c) != nullptr && c[1] != '\0')
            name = c + 1;
    return name;
}

void start_progress(progress_line& line, const char* invocation, const char* destination)
{
    line.name = tool_name(invocation);
    line.destination = destination;
    line.destination_name = tool_name(destination);
    line.total = -1;
    take_mark(line.clock, 0, 0);
    line.on_terminal = error_terminal() && start_line_timer({tick_progress, &line});
}

void count_bytes(progress_line& line, std::int64_t done, std::int64_t sent)
{
    if (!line.on_terminal)
        return;
    line.done.store(done, std::memory_order_relaxed);
    line.sent.store(sent, std::memory_order_relaxed);
    line.waiting.store(false, std::memory_order_relaxed);
}

void count_waiting(progress_line& line)
{
    if (line.on_terminal)
        line.waiting.store(true, std::memory_order_relaxed);
}

void describe_progress(char* text, std::size_t size, const char* name, progress_view view,
                       std::size_t columns)
{
    char fields[FIELDS][TERMINAL_LINE_SIZE] = {};
    format_fields(fields, name, view);
    const field* order = view.stopping ? STOP_LEFT_OUT : COUNTS_LEFT_OUT;
    // Each field left out in turn until the line fits.
    for (std::size_t k = 0;; ++k) {
        std::snprintf(text, size, "%s%s%s%s%s%s", fields[NAME], fields[DESTINATION], fields[SIZES],
                      fields[RATE], fields[TAIL], fields[ON_WAY]);
        if (std::strlen(text) <= columns || order[k] == FIELDS)
            return;
        if (order[k] == SIZES)
            format_sizes(fields[SIZES], sizeof fields[SIZES], view, true);
        else
            fields[order[k]][0] = '\0';
    }
}

std::size_t fit_line(char* line, std::size_t size, const char* text, std::size_t columns)
{
    std::size_t room = size - 1;
    std::size_t n = std::min({std::strlen(text), columns, room});
    // A name may be UTF-8: no character is cut in two.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & UTF8_LEAD_MASK) == UTF8_CONTINUATION)
        --n;
    std::size_t width = std::min(columns, room);
    line[0] = '\r';
    // Written with its length, never read as a string: no terminating null.
    std::copy_n(text, n, line + 1);
    std::fill_n(line + 1 + n, width - n, ' ');
    return width + 1;
}
