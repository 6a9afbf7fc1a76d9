#include "diag.h"

#include <gtest/gtest.h>

#include "support.h"

namespace {

std::string capture(int level, int lvl, const char* fmt, const char* arg)
{
    Verbosity v(level);
    testing::internal::CaptureStdout();
    debug_printf(lvl, fmt, arg);
    return testing::internal::GetCapturedStdout();
}

TEST(Diag, LevelsGateMessages)
{
    EXPECT_EQ(capture(0, 1, "x %s\n", "a"), "");
    EXPECT_EQ(capture(0, 0, "x %s\n", "a"), "");
    EXPECT_EQ(capture(2, 1, "x %s\n", "a"), "DEBUG: x a\n");
    EXPECT_EQ(capture(2, 2, "x %s\n", "a"), "DEBUG: x a\n");
    EXPECT_EQ(capture(2, 3, "x %s\n", "a"), "");
}

TEST(Diag, PercentInArgumentsIsWrittenUnchanged)
{
    EXPECT_EQ(capture(1, 1, "Adding %s (0) to list.\n", "100%.zip %s %n"),
              "DEBUG: Adding 100%.zip %s %n (0) to list.\n");
}

TEST(Diag, LongMessagesAreNotCut)
{
    std::string name(5000, 'n');
    EXPECT_EQ(capture(1, 1, "%s|", name.c_str()), "DEBUG: " + name + "|");
    Verbosity v(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(debug_printf(1, "%s", name.c_str()), 5000);
    testing::internal::GetCapturedStdout();
}

}  // namespace
