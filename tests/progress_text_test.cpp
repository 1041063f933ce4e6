// SPDX-License-Identifier: MIT
// The progress line's text: what it says, in binary units, how it gives way
// on a narrow terminal, the name it starts with and how it covers the row.
#include <gtest/gtest.h>

#include <string>

#include "host.h"
#include "progress.h"

namespace {

constexpr long long MIB = 1024 * 1024;
constexpr long long GIB = 1024 * MIB;

TEST(ProgressText, SaysDoneTotalRateAndTimeLeftInBinaryUnits)
{
    struct text_case {
        progress_view view;
        const char* text;
    };
    const text_case cases[] = {
        {{GIB * 12 / 10 + MIB, 4 * GIB, 25.0 * MIB, 0, 0},
         "t: 1.2 Gio sur 4.0 Gio (30%), 25 Mio/s, encore 1 min 55 s"},
        {{GIB * 12 / 10, -1, 25.0 * MIB, 0, 0}, "t: 1.2 Gio, 25 Mio/s"},
        {{0, -1, 0.0, 0, 0}, "t: 0 o, 0 o/s"},
        {{1000, 5000, -1.0, 0, 0}, "t: 1000 o sur 4.9 Kio (20%)"},
        // Never "1024.0" of a unit, nor 100% before the last byte.
        {{1024 * 1024 - 20, 4 * MIB, 9.5 * MIB, 0, 0},
         "t: 1.0 Mio sur 4.0 Mio (24%), 9.5 Mio/s, encore 1 s"},
        {{4 * MIB - 1, 4 * MIB, 1023.7 * MIB, 0, 0},
         "t: 4.0 Mio sur 4.0 Mio (99%), 1.0 Gio/s, encore 1 s"},
        {{4 * MIB, 4 * MIB, 9.97 * MIB, 0, 0}, "t: 4.0 Mio sur 4.0 Mio (100%), 10 Mio/s"},
        {{0, 8 * GIB, 2.0 * MIB, 0, 0}, "t: 0 o sur 8.0 Gio (0%), 2.0 Mio/s, encore 1 h 8 min"},
        {{0, 8 * GIB, 1.0, 0, 0}, "t: 0 o sur 8.0 Gio (0%), 1 o/s"},
        // Bytes written to a device but not yet on it; a stall from two
        // seconds on, in whole seconds, instead of a time left; none once done.
        {{MIB, 4 * MIB, MIB, 3 * MIB / 2, 0},
         "t: 1.0 Mio sur 4.0 Mio (25%), 1.0 Mio/s, encore 3 s, 1.5 Mio en route"},
        {{MIB, 4 * MIB, 1024.0, 0, 1999},
         "t: 1.0 Mio sur 4.0 Mio (25%), 1.0 Kio/s, encore 51 min 12 s"},
        {{MIB, 4 * MIB, 0.0, 0, 4999}, "t: 1.0 Mio sur 4.0 Mio (25%), 0 o/s, bloque depuis 4 s"},
        {{MIB, -1, 0.0, 0, 2000}, "t: 1.0 Mio, 0 o/s, bloque depuis 2 s"},
        {{4 * MIB, 4 * MIB, 0.0, 0, 9000}, "t: 4.0 Mio sur 4.0 Mio (100%), 0 o/s"},
    };
    for (const text_case& c : cases) {
        char text[TERMINAL_LINE_SIZE];
        describe_progress(text, sizeof text, "t", c.view, TERMINAL_LINE_SIZE);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(ProgressText, NarrowTerminalLeavesOutTheLeastUsefulFieldsFirst)
{
    const progress_view device = {32 * MIB, 100 * MIB, 2.0 * MIB, 3 * MIB / 2, 0};
    const progress_view pipe = {32 * MIB, -1, 2.0 * MIB, 0, 3000};
    struct narrow_case {
        progress_view view;
        std::size_t columns;
        const char* text;
    };
    const narrow_case cases[] = {
        {device, 78,
         "talvor: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s, 1.5 Mio en route"},
        {device, 77, "talvor: 32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s"},
        {device, 59, "32.0 Mio sur 100.0 Mio (32%), 2.0 Mio/s, encore 34 s"},
        {device, 51, "32.0 Mio sur 100.0 Mio (32%), encore 34 s"},
        {device, 40, "32%, encore 34 s"},
        {device, 16, "32%, encore 34 s"},
        {device, 15, "32%"},
        {device, 2, "32%"},
        {pipe, 27, "32.0 Mio, bloque depuis 3 s"},
        {pipe, 26, "32.0 Mio"},
    };
    for (const narrow_case& c : cases) {
        char text[TERMINAL_LINE_SIZE];
        describe_progress(text, sizeof text, "talvor", c.view, c.columns);
        EXPECT_STREQ(text, c.text) << "in " << c.columns;
    }
}

TEST(ProgressText, StartsWithTheToolsOwnName)
{
    bool windows_host = false;
#if defined(_WIN32)
    windows_host = true;
#endif
    struct name_case {
        const char* invocation;
        const char* name;
        const char* windows_name;
    };
    const name_case cases[] = {
        {"/opt/tools/bin/talvor", "talvor", "talvor"},
        {"talvor", "talvor", "talvor"},
        {"./build/talvor-essai", "talvor-essai", "talvor-essai"},
        {"C:\\Outils\\Talvor.EXE", "C:\\Outils\\Talvor.EXE", "Talvor.EXE"},
        {"Z:\\opt/bin\\talvor.exe", "bin\\talvor.exe", "talvor.exe"},
        {"/opt/\xC3\xA9t\xC3\xA9/t\xC3\xA9", "t\xC3\xA9", "t\xC3\xA9"},
        {"dir/", "dir/", "dir/"},
    };
    for (const name_case& c : cases)
        EXPECT_STREQ(tool_name(c.invocation), windows_host ? c.windows_name : c.name)
            << c.invocation;
}

TEST(ProgressText, FitsTheTerminalAndCoversTheWholeRow)
{
    struct fit_case {
        const char* text;
        std::size_t columns;
        std::string written;
    };
    const fit_case cases[] = {
        {"abc", 3, "\rabc"},
        {"abc", 6, "\rabc   "},
        {"abcdef", 4, "\rabcd"},
        // A character of several bytes is left out whole.
        {"ab\xC3\xA9z", 3, "\rab "},
        {"ab\xC3\xA9z", 4, "\rab\xC3\xA9"},
    };
    for (const fit_case& c : cases) {
        char line[TERMINAL_LINE_SIZE + 1];
        std::size_t n = fit_line(line, sizeof line, c.text, c.columns);
        EXPECT_EQ(std::string(line, n), c.written) << c.text << " in " << c.columns;
    }
}

} // namespace
