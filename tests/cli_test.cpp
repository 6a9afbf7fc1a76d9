// Black-box runs of the built program: exact standard output, standard error and status.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures.h"

namespace {

class Cli : public FakeTools {};

// The long help, shown by the program under the name `me`.
std::string help(const std::string& me)
{
    const auto golden = std::filesystem::path(__FILE__).parent_path() / "golden/help.txt";
    std::string text = read_file(golden);
    const std::string usage = "Usage: vek ";
    text.replace(text.find(usage), usage.size(), "Usage: " + me + " ");
    return text;
}

void expect(const RunResult& r, int status, const std::string& out, const std::string& err)
{
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

TEST_F(Cli, HelpTexts)
{
    const std::string me = vek_binary(), long_usage = help(me);
    const std::string banner = long_usage.substr(0, long_usage.find('\n') + 1);
    expect(vek({}), 1, long_usage.substr(0, long_usage.find("\n\n Options:") + 1), "");
    expect(vek({"-V"}), 0, banner, "");
    expect(vek({"sz", "a", "-V", "-x"}), 0, banner, "");
    for (const char* h : {"-h", "-H", "--help", "--HELP"})
        expect(vek({"sz", h}), 0, long_usage, "");
}

TEST_F(Cli, OptionErrorsShowHelpAndSucceed)
{
    const std::string me = vek_binary(), long_usage = help(me);
    expect(vek({"-x"}), 0, long_usage, me + ": invalid option -- 'x'\n");
    expect(vek({"-v", "-:"}), 0, "DEBUG: Increasing verbosity to 1.\n" + long_usage,
           me + ": invalid option -- ':'\n");
    expect(vek({"sz", "-d"}), 0, long_usage, me + ": option requires an argument -- 'd'\n");
    expect(vek({"-vf"}), 0, "DEBUG: Increasing verbosity to 1.\n" + long_usage,
           me + ": option requires an argument -- 'f'\n");
    expect(vek({"sz", "a", "--veklog"}), 0, long_usage,
           me + ": option '--veklog' requires an argument\n");
}

TEST_F(Cli, MissingProtocolIsFatal)
{
    expect(vek({"-v"}), 255, "DEBUG: Increasing verbosity to 1.\n",
           "Fatal: Protocol not specified!\n");
    // The list is not read before the protocol check.
    expect(vek({"@/nonexistent/list", "a"}), 255, "", "Fatal: Protocol not specified!\n");
}

TEST_F(Cli, EnvironmentMessageComesAfterOperands)
{
    env["VEKLOG"] = "/dev/null";
    env["POSIXLY_CORRECT"] = "1";
    expect(vek({"-v", "-d", "x", "a", "-v"}), 255,
           "DEBUG: Increasing verbosity to 1.\n"
           "DEBUG: Setting veklog to x\n"
           "DEBUG: Adding a (0) to list.\n"
           "DEBUG: Setting VEKlog to '/dev/null'\n",
           "Fatal: Protocol not specified!\n");
}

}  // namespace
