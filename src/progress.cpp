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
constexpr double MS_PER_SECOND = 1000.0;
constexpr long long SECONDS_PER_MINUTE = 60;
constexpr long long SECONDS_PER_HOUR = 3600;
// Past this a time left says nothing worth reading.
constexpr double MOST_SECONDS_LEFT = 100.0 * SECONDS_PER_HOUR;
// The top bits of a UTF-8 byte that carries on a character.
constexpr unsigned UTF8_LEAD_MASK = 0xC0;
constexpr unsigned UTF8_CONTINUATION = 0x80;
// Room for one field of the line: a size, a rate or a time left.
constexpr std::size_t FIELD_SIZE = 48;

// Bytes in the largest unit that keeps them at 1 or more, so that "1024.0"
// of a unit never shows: with one decimal, or whole for octets and, when
// asked, from ten on.
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

bool due(const progress_line& line, std::int64_t now)
{
    return now - line.start_ms >= PROGRESS_DELAY_MS && now - line.drawn_ms >= PROGRESS_INTERVAL_MS;
}

// Bytes a second over the last two to four seconds: steady, yet quick to
// follow a device that slows down.
double rate_since(progress_line& line, std::int64_t now, std::int64_t done)
{
    if (now - line.newer.ms >= RATE_SPAN_MS) {
        line.older = line.newer;
        line.newer = {now, done};
    }
    auto seconds = static_cast<double>(now - line.older.ms) / MS_PER_SECOND;
    auto bytes = static_cast<double>(std::max(done - line.older.bytes, std::int64_t{0}));
    return seconds > 0 ? bytes / seconds : -1.0;
}

} // namespace

progress_line start_progress(const char* name, const char* destination)
{
    std::int64_t now = clock_ms();
    return {name, destination, progress_terminal(), -1, now, now, false, {now, 0}, {now, 0}};
}

void count_bytes(progress_line& line, std::int64_t done)
{
    // Off a terminal the copy pays for nothing, not even the clock.
    if (!line.on_terminal)
        return;
    std::int64_t now = clock_ms();
    if (!due(line, now))
        return;
    char text[PROGRESS_LINE_SIZE];
    describe_progress(text, sizeof text, line.name,
                      {done, line.total, rate_since(line, now, done)});
    draw_progress_line(text);
    line.drawn_ms = now;
}

void count_waiting(progress_line& line)
{
    if (!line.on_terminal || line.told_waiting)
        return;
    std::int64_t now = clock_ms();
    if (!due(line, now))
        return;
    line.told_waiting = true;
    char text[PROGRESS_LINE_SIZE];
    std::snprintf(text, sizeof text, "%s: en attente de %s, pris par une autre execution",
                  line.name, line.destination);
    draw_progress_line(text);
    line.drawn_ms = now;
}

void describe_progress(char* text, std::size_t size, const char* name, progress_view view)
{
    char done[FIELD_SIZE];
    char total[FIELD_SIZE];
    char of[2 * FIELD_SIZE] = "";
    char rate[FIELD_SIZE + sizeof ", /s"] = "";
    char left[FIELD_SIZE] = "";
    format_bytes(done, sizeof done, static_cast<double>(view.done), false);
    if (view.total > 0) {
        format_bytes(total, sizeof total, static_cast<double>(view.total), false);
        // Floored, so that 100% means every byte.
        double percent =
            std::floor(PERCENT * static_cast<double>(view.done) / static_cast<double>(view.total));
        std::snprintf(of, sizeof of, " sur %s (%.0f%%)", total, std::min(percent, PERCENT));
    }
    if (view.rate >= 0) {
        char bytes[FIELD_SIZE];
        format_bytes(bytes, sizeof bytes, view.rate, true);
        std::snprintf(rate, sizeof rate, ", %s/s", bytes);
    }
    double seconds =
        view.rate > 0 ? std::ceil(static_cast<double>(view.total - view.done) / view.rate) : 0;
    if (view.total > view.done && seconds > 0 && seconds < MOST_SECONDS_LEFT)
        format_time_left(left, sizeof left, static_cast<long long>(seconds));
    std::snprintf(text, size, "%s: %s%s%s%s", name, done, of, rate, left);
}

std::size_t fit_line(char* line, std::size_t size, const char* text, std::size_t columns,
                     std::size_t covered)
{
    std::size_t room = size - 1;
    std::size_t n = std::min({std::strlen(text), columns, room});
    // A name may be UTF-8: no character is cut in two.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & UTF8_LEAD_MASK) == UTF8_CONTINUATION)
        --n;
    std::size_t width = std::min({std::max(n, covered), columns, room});
    line[0] = '\r';
    // Written with its length, never read as a string: no terminating null.
    std::copy_n(text, n, line + 1);
    std::fill_n(line + 1 + n, width - n, ' ');
    return width + 1;
}
