#include "diag.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "report.h"
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

// A fatal message must not overtake what the program wrote before it when both
// streams go to one place, as they do on a terminal session's connection.
TEST(Report, FatalMessageComesAfterWhatStandardOutputHeld)
{
    RunResult r = run_function([] {
        dup2(STDOUT_FILENO, STDERR_FILENO);
        std::printf("before, ");  // no line end: held in the buffer even on a terminal
        report(Severity::fatal, "Fatal: after\n");
        return 0;
    });
    EXPECT_EQ(r.out, "before, Fatal: after\n");
}

}  // namespace
