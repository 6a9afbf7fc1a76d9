// Black-box runs of the built program: exact standard output, standard error and status.
#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string banner = "vek sz/rz front end v0.2.1.\n";

std::string usage_line(const std::string& me)
{
    return "\nUsage: " + me + " <s[xyz] | r[xyz]> [options] <@filelist> <file1 ...>\n";
}

const std::string option_help =
    "\n Options:\n"
    " sx, rx\t\t\tSend/Receive files using Xmodem.\n"
    " sy, ry\t\t\tSend/receive files using Ymodem.\n"
    " sz, rz\t\t\tSend/receive files using Zmodem.\n"
    " -d, --veklog FILE\tMake VEK-style log at FILE.\n"
    " -h, --help\t\tThis Help Screen.\n"
    " -s, --syslog\t\tKeep logs in the system log.\n"
    " -v\t\t\tIncrease verbosity (Can be repeated).\n"
    " -V\t\t\tPrint version and exit.\n"
    " @filelist\t\tSend files listed in filelist.\n"
    "\nNote: Specifying a file list (@file) will override any files\n"
    "given on the command line.\n";

RunResult vek(std::vector<std::string> args, std::map<std::string, std::string> env = base_env())
{
    args.insert(args.begin(), vek_binary());
    RunOptions opts;
    opts.env = std::move(env);
    opts.timeout_seconds = 30;
    return run_program(args, opts);
}

void expect(const RunResult& r, int status, const std::string& out, const std::string& err)
{
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

TEST(Cli, HelpTexts)
{
    const std::string me = vek_binary();
    const std::string long_usage = banner + usage_line(me) + option_help;
    expect(vek({}), 1, banner + usage_line(me), "");
    expect(vek({"-V"}), 0, banner, "");
    expect(vek({"sz", "a", "-V", "-x"}), 0, banner, "");
    for (const char* h : {"-h", "-H", "--help", "--HELP"})
        expect(vek({"sz", h}), 0, long_usage, "");
}

TEST(Cli, OptionErrorsShowHelpAndSucceed)
{
    const std::string me = vek_binary();
    const std::string long_usage = banner + usage_line(me) + option_help;
    expect(vek({"-x"}), 0, long_usage, me + ": invalid option -- 'x'\n");
    expect(vek({"-v", "-:"}), 0, "DEBUG: Increasing verbosity to 1.\n" + long_usage,
           me + ": invalid option -- ':'\n");
    expect(vek({"sz", "-d"}), 0, long_usage, me + ": option requires an argument -- 'd'\n");
    expect(vek({"-vf"}), 0, "DEBUG: Increasing verbosity to 1.\n" + long_usage,
           me + ": option requires an argument -- 'f'\n");
    expect(vek({"sz", "a", "--veklog"}), 0, long_usage,
           me + ": option '--veklog' requires an argument\n");
}

TEST(Cli, MissingProtocolIsFatal)
{
    expect(vek({"-v"}), 255, "DEBUG: Increasing verbosity to 1.\n",
           "Fatal: Protocol not specified!\n");
    // The list is not read before the protocol check.
    expect(vek({"@/nonexistent/list", "a"}), 255, "", "Fatal: Protocol not specified!\n");
}

TEST(Cli, EnvironmentMessageComesAfterOperands)
{
    auto env = base_env();
    env["VEKLOG"] = "/dev/null";
    env["POSIXLY_CORRECT"] = "1";
    expect(vek({"-v", "-d", "x", "a", "-v"}, env), 255,
           "DEBUG: Increasing verbosity to 1.\n"
           "DEBUG: Setting veklog to x\n"
           "DEBUG: Adding a (0) to list.\n"
           "DEBUG: Setting VEKlog to '/dev/null'\n",
           "Fatal: Protocol not specified!\n");
}

}  // namespace
