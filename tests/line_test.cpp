// SPDX-License-Identifier: MIT
// What the progress line says of two runs on one terminal, of a stall and
// of a stop that the kernel holds: DEST named after the tool, the rate
// that a stall leaves, what a stop waits for.
#include <string>

#include "harness.h"
#include "host.h"
#include "progress.h"

namespace {

constexpr long long MIB = 1024 * 1024;

struct line_case {
    progress_view view;
    std::size_t columns;
    const char* text;
};

void expect_lines(const line_case* cases, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        char text[TERMINAL_LINE_SIZE];
        describe_progress(text, sizeof text, "talvor", cases[i].view, cases[i].columns);
        EXPECT_STREQ(text, cases[i].text) << "in " << cases[i].columns;
    }
}

TEST(LineText, NamesDestAfterTheToolAndLeavesItOutFirst)
{
    progress_view device = {32 * MIB, 100 * MIB, 2.0 * MIB, 3 * MIB / 2, 0, "sdb"};
    const line_case cases[] = {
        {device, 200,
         "talvor: sdb: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s, 1.5 Mio en route"},
        {device, 83,
         "talvor: sdb: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s, 1.5 Mio en route"},
        {device, 82,
         "talvor: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s, 1.5 Mio en route"},
        {device, 77, "talvor: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s"},
        {device, 16, "32%, encore 34 s"},
        {{MIB, -1, 0.5 * MIB, 0, 0, ""}, 200, "talvor: 1.0 Mio, 512 Kio/s"},
        {{MIB, -1, 0.5 * MIB, 0, 0, nullptr}, 200, "talvor: 1.0 Mio, 512 Kio/s"},
    };
    expect_lines(cases, std::size(cases));
}

// The rate is taken over a few seconds, so it still shows what moved before
// the stall: beside "bloque" it says what it is.
TEST(LineText, StalledLineShowsTheRateAsNothing)
{
    const line_case cases[] = {
        {{MIB, 4 * MIB, 1.4 * MIB, 0, 2000, "out.img"},
         200,
         "talvor: out.img: 1.0 Mio sur 4.0 Mio (25%), 0 o/s, bloque depuis 2 s"},
        {{MIB, 4 * MIB, 1.4 * MIB, 0, 1999, "out.img"},
         200,
         "talvor: out.img: 1.0 Mio sur 4.0 Mio (25%), 1.4 Mio/s, encore 3 s"},
        {{MIB, -1, 1.4 * MIB, 0, 5000, "out.img"},
         200,
         "talvor: out.img: 1.0 Mio, 0 o/s, bloque depuis 5 s"},
    };
    expect_lines(cases, std::size(cases));
}

// A stop heard says so and what the run waits for, the bytes on their way
// first; it keeps that longest on a narrow row.
TEST(LineText, StopHeardSaysWhatTheRunWaitsFor)
{
    progress_view held = {32 * MIB, 100 * MIB, 0.0, 5 * MIB, 20000, "sdb", true};
    progress_view call = {32 * MIB, 100 * MIB, 0.0, 0, 20000, "out.img", true};
    const line_case cases[] = {
        {held, 200, "talvor: sdb: arret demande, attend 5.0 Mio en route"},
        {held, 48, "talvor: arret demande, attend 5.0 Mio en route"},
        {held, 45, "arret demande, attend 5.0 Mio en route"},
        {held, 38, "arret demande, attend 5.0 Mio en route"},
        {held, 37, "arret demande"},
        {held, 5, "arret demande"},
        {call, 200, "talvor: out.img: arret demande, attend que le systeme rende la main"},
    };
    expect_lines(cases, std::size(cases));
}

} // namespace
