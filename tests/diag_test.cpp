#include "diag.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "report.h"
#include "support.h"

namespace {

// What debug_printf(lvl, fmt, arg) writes at diagnostic level `level`.
std::string shown(int level, int lvl, const char* fmt, const char* arg)
{
    set_verbosity(level);
    testing::internal::CaptureStdout();
    const int n = debug_printf(lvl, fmt, arg);
    std::string out = testing::internal::GetCapturedStdout();
    set_verbosity(0);
    EXPECT_EQ(n, out.empty() ? 0 : static_cast<int>(out.size() - 7)) << "the length without \"DEBUG: \"";
    return out;
}

TEST(Diag, LevelsGateMessagesWrittenWholeAndUnchanged)
{
    EXPECT_EQ(shown(0, 1, "x %s\n", "a"), "");
    EXPECT_EQ(shown(0, 0, "x %s\n", "a"), "");
    EXPECT_EQ(shown(2, 1, "x %s\n", "a"), "DEBUG: x a\n");
    EXPECT_EQ(shown(2, 2, "x %s\n", "a"), "DEBUG: x a\n");
    EXPECT_EQ(shown(2, 3, "x %s\n", "a"), "");
    EXPECT_EQ(shown(1, 1, "Adding %s (0) to list.\n", "100%.zip %s %n"), "DEBUG: Adding 100%.zip %s %n (0) to list.\n");
    const std::string name(5000, 'n');
    EXPECT_EQ(shown(1, 1, "%s|", name.c_str()), "DEBUG: " + name + "|");
}

// A fatal message must not overtake what the program wrote before it when both
// streams go to one place, as they do on a terminal session's connection.
TEST(Report, FatalMessageComesAfterWhatStandardOutputHeld)
{
    RunResult r = run_function([] {
        dup2(STDOUT_FILENO, STDERR_FILENO);
        std::printf("before, ");  // no line end: held in the buffer even on a terminal
        fail("after\n");
        return 0;
    });
    EXPECT_EQ(r.out, "before, Fatal! after\n");
}

}  // namespace
