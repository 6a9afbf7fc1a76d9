// Black-box runs of the built program that end before any transfer: exact
// standard output, standard error and status, and no command run, no list read.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures.h"

namespace {

class Cli : public FakeTools {};

TEST_F(Cli, RunsThatEndBeforeATransfer)
{
    // The long help, shown under the name the program was run by.
    const std::string me = vek_binary(), v1 = "DEBUG: Increasing verbosity to 1.\n";
    std::string help = read_file(std::filesystem::path(__FILE__).parent_path() / "golden/help.txt");
    help.replace(help.find("Usage: vek "), 11, "Usage: " + me + " ");
    help.replace(help.find("@VERSION@"), 9, VEK_VERSION);
    const std::string banner = help.substr(0, help.find('\n') + 1);
    const std::string usage = help.substr(0, help.find("\n\n Options:") + 1);
    const std::string no_protocol = "Fatal: Protocol not specified!\n";
    mkdir((dir / "work/adir").c_str(), 0755);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
        bool strict = false;  // with POSIXLY_CORRECT, and VEKLOG set
    } cases[] = {
        {{}, 1, usage, ""},
        {{"-V"}, 0, banner, ""},
        {{"sz", "a", "-V", "-x"}, 0, banner, ""},
        {{"sz", "-h"}, 0, help, ""},
        {{"sz", "-H"}, 0, help, ""},
        {{"sz", "--help"}, 0, help, ""},
        {{"sz", "--HELP"}, 0, help, ""},
        // Option errors show the help and succeed.
        {{"-x"}, 0, help, me + ": invalid option -- 'x'\n"},
        {{"-v", "-:"}, 0, v1 + help, me + ": invalid option -- ':'\n"},
        {{"sz", "-d"}, 0, help, me + ": option requires an argument -- 'd'\n"},
        {{"-vf"}, 0, v1 + help, me + ": option requires an argument -- 'f'\n"},
        {{"sz", "a", "--veklog"}, 0, help, me + ": option '--veklog' requires an argument\n"},
        // No protocol word: the list is not read first; VEKLOG is said after the operands.
        {{"-v"}, 255, v1, no_protocol},
        {{"@/nonexistent/list", "a"}, 255, "", no_protocol},
        {{"-v", "-d", "x", "a", "-v"}, 255,
         v1 + "DEBUG: Setting veklog to x\nDEBUG: Adding a (0) to list.\nDEBUG: Setting VEKlog to '/dev/null'\n",
         no_protocol, true},
        // A list that cannot be read stops the run before its command.
        {{"sz", "@absent"}, 1, "", "Fatal: Cannot open absent!\n"},
        {{"sz", "-f", "adir"}, 1, "", "Fatal: Cannot open adir!\n"},
        {{"rz", "@adir"}, 1, "", "Fatal: Cannot open adir!\n"},
    };
    for (const auto& c : cases) {
        env.erase("POSIXLY_CORRECT");
        env.erase("VEKLOG");
        if (c.strict)
            env.insert({{"POSIXLY_CORRECT", "1"}, {"VEKLOG", "/dev/null"}});
        const RunResult r = vek(c.args);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.err) << testing::PrintToString(c.args);
    }
    EXPECT_FALSE(ran("sz") || ran("rz"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
