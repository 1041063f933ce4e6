// SPDX-License-Identifier: MIT
// The suite's main: GoogleTest's own, and each skipped test's reason kept in
// a file that the suite's last test shows, as ctest's console does not.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class skip_log : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& info) override
    {
        const ::testing::TestResult* result = info.result();
        if (!result->Skipped())
            return;
        std::string reason;
        for (int i = 0; i < result->total_part_count(); ++i)
            if (result->GetTestPartResult(i).skipped())
                reason = result->GetTestPartResult(i).message();
        // One line a test, so that runs in parallel append whole lines.
        for (char& c : reason)
            c = c == '\n' ? ' ' : c;
        std::string line = std::string(info.test_suite_name()) + "." + info.name() + ": " + reason;
        std::FILE* log = std::fopen(TALVOR_SKIP_LOG, "a");
        if (log == nullptr)
            return;
        std::fprintf(log, "%s\n", line.c_str());
        std::fclose(log);
    }
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // GoogleTest owns the listener from here on.
    ::testing::UnitTest::GetInstance()->listeners().Append(new skip_log);
    return RUN_ALL_TESTS();
}
