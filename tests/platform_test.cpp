// SPDX-License-Identifier: MIT
// The platform module on its own, as built for this test binary's host.
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "harness.h"
#include "platform.h"

namespace {

using Platform = ToolTest;

TEST_F(Platform, SameFileFollowsLinksAndIgnoresLookAlikes)
{
    write_file(path("a"), "content");
    write_file(path("twin"), "content");
    std::filesystem::create_directory(path("sub"));
    ASSERT_EQ(symlink("a", path("soft").c_str()), 0);
    ASSERT_EQ(link(path("a").c_str(), path("hard").c_str()), 0);
    std::FILE* a = std::fopen(path("a").c_str(), "rb");
    ASSERT_NE(a, nullptr);
    for (const char* alias : {"a", "sub/../a", "soft", "hard"})
        EXPECT_TRUE(same_file(a, path(alias).c_str())) << alias;
    EXPECT_FALSE(same_file(a, path("twin").c_str()));
    EXPECT_FALSE(same_file(a, path("missing").c_str()));
    std::fclose(a);
}

TEST_F(Platform, KernelCopyLeavesPositionsForTheStreams)
{
    std::string source = pattern(300000, 1);
    write_file(path("src"), source);
    std::FILE* in = std::fopen(path("src").c_str(), "rb");
    std::FILE* out = std::fopen(path("dst").c_str(), "wb");
    ASSERT_TRUE(in != nullptr && out != nullptr);
    std::int64_t copied = -1;
    EXPECT_EQ(kernel_copy(in, out, &copied), COPY_OK);
    EXPECT_EQ(std::ftell(in), 0);
    EXPECT_EQ(std::ftell(out), 0);
    std::fclose(in);
    std::fclose(out);
    // Either the kernel copied everything or nothing was done at all.
    if (copied != 0) {
        EXPECT_EQ(copied, static_cast<std::int64_t>(source.size()));
        EXPECT_TRUE(read_file(path("dst")) == source);
    }
}

} // namespace
