#include "cmdline.h"

#include <gtest/gtest.h>

#include "diag.h"
#include "capture.h"

namespace {

// One parse of a command line, with everything it wrote to standard output.
struct Parsed {
    RunSettings s;
    std::optional<int> status;
    std::string out;
    int verbosity = 0;
};

Parsed parse(Args args, const Environment& env = {})
{
    args.insert(args.begin(), "vek");
    Parsed p;
    testing::internal::CaptureStdout();
    p.status = parse_command_line(args, env, p.s);
    p.out = testing::internal::GetCapturedStdout();
    p.verbosity = verbosity();
    set_verbosity(0);
    set_telnet_output(false);
    return p;
}

std::vector<std::string> names(const RunSettings& s)
{
    return {s.filename.begin(), s.filename.begin() + s.numfiles};
}

TEST(OptionPass, FollowsGetoptConventions)
{
    Parsed p = parse({"-vv", "-dlog", "sz"});
    EXPECT_EQ(p.verbosity, 2);
    EXPECT_EQ(p.s.veklog, "log");
    EXPECT_TRUE(p.s.makeveklog);

    // A value is taken whatever it holds.
    p = parse({"-d", "-v", "sz"});
    EXPECT_EQ(p.s.veklog, "-v");
    EXPECT_EQ(p.verbosity, 0);
    p = parse({"-f", "--", "sz"});
    EXPECT_EQ(p.s.filelist, "--");

    // Options may follow operands, and "--" ends them.
    p = parse({"sz", "a", "-v", "b", "--", "-s", "-v"});
    EXPECT_EQ(p.verbosity, 1);
    EXPECT_FALSE(p.s.makesyslog);
    EXPECT_EQ(names(p.s), (std::vector<std::string>{"a", "b"}));

    // Strict POSIX mode stops at the first operand.
    p = parse({"-v", "sz", "-v", "-s"}, {{"POSIXLY_CORRECT", ""}});
    EXPECT_EQ(p.verbosity, 1);
    EXPECT_FALSE(p.s.makesyslog);
    EXPECT_EQ(p.s.action, ACTION_SEND);
}

TEST(OptionPass, SameSettingsWhereverOptionsStand)
{
    Parsed a = parse({"sz", "a", "-v", "b"});
    Parsed b = parse({"-v", "sz", "a", "b"});
    EXPECT_EQ(a.verbosity, b.verbosity);
    EXPECT_EQ(names(a.s), names(b.s));
    EXPECT_EQ(a.out, b.out);
}

TEST(OptionPass, MessagesDependOnVerbosityAtTheTime)
{
    EXPECT_EQ(parse({"-d", "x.log", "-v"}).out, "DEBUG: Increasing verbosity to 1.\n");
    EXPECT_EQ(parse({"-v", "-d", "x.log", "-v", "-s", "-f", "l"}).out,
              "DEBUG: Increasing verbosity to 1.\n"
              "DEBUG: Setting veklog to x.log\n"
              "DEBUG: Increasing verbosity to 2.\n"
              "DEBUG: Turning on syslog()ing.\n"
              "DEBUG: Sending files in list 'l'.\n");
}

TEST(OptionPass, EndingOptionsStopBeforeOperands)
{
    for (const Args& args : std::vector<Args>{{"sz", "a", "-V"}, {"-V", "-x"}}) {
        Parsed p = parse(args);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.out, "vek sz/rz front end v0.2.1.\n");
        EXPECT_EQ(p.s.numfiles, 0);
    }
    for (const Args& args : std::vector<Args>{{"-h"}, {"-H"}, {"-vx"}, {"-v", "-d"}, {"--help"}}) {
        testing::internal::CaptureStderr();
        Parsed p = parse(args);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(p.status, 0);
        EXPECT_NE(p.out.find("given on the command line.\n"), std::string::npos);
    }
}

TEST(OptionPass, TelnetInEitherFormAnywhere)
{
    for (const Args& args :
         std::vector<Args>{{"-t", "sz"}, {"sz", "a", "-vt"}, {"--TELNET", "rz"}, {"rz", "--telnet"}})
        EXPECT_TRUE(parse(args).s.telnet);
    for (const Args& args : std::vector<Args>{{"sz"}, {"sz", "-d", "-t"}, {"sz", "--", "-t"}})
        EXPECT_FALSE(parse(args).s.telnet);
    // From there on our own messages go out as the relay sends the command's.
    EXPECT_EQ(parse({"-t", "-v", "sz", "\xff"}).out,
              "DEBUG: Increasing verbosity to 1.\n"
              "DEBUG: Setting protocol to Zmodem Send.\n"
              "DEBUG: Adding \xff\xff (0) to list.\n");
}

TEST(OperandPass, LaterListsAndLogsWin)
{
    EXPECT_EQ(parse({"@b", "-f", "a", "sz"}).s.filelist, "b");
    EXPECT_EQ(parse({"-f", "a", "@b", "sz"}).s.filelist, "b");
    EXPECT_EQ(parse({"--veklog", "y", "-d", "x", "sz"}).s.veklog, "y");
    EXPECT_EQ(parse({"--VEKLOG", "y", "--veklog", "z", "sz"}).s.veklog, "z");

    // --veklog skips what the option pass took: here -v.
    Parsed p = parse({"sz", "--veklog", "-v", "log", "a"});
    EXPECT_EQ(p.s.veklog, "log");
    EXPECT_EQ(names(p.s), std::vector<std::string>{"a"});

    p = parse({"-f", "list", "@", "sz"});
    EXPECT_EQ(p.s.filelist, "");
    EXPECT_TRUE(p.s.batch);
}

TEST(OperandPass, WordsNamesAndLongOptions)
{
    Parsed p = parse({"-v", "--Syslog", "SZ", "--nothing", "-", "ry", "sx", "-d", "x.log", "100%.zip"});
    EXPECT_EQ(p.s.proto, PROTO_XMODEM);
    EXPECT_EQ(p.s.action, ACTION_SEND);
    EXPECT_TRUE(p.s.makesyslog);
    EXPECT_EQ(names(p.s), (std::vector<std::string>{"SZ", "100%.zip"}));
    EXPECT_EQ(p.out,
              "DEBUG: Increasing verbosity to 1.\n"
              "DEBUG: Setting veklog to x.log\n"
              "DEBUG: Turning on syslog()ing.\n"
              "DEBUG: Adding SZ (0) to list.\n"
              "DEBUG: Setting protocol to Ymodem Receive.\n"
              "DEBUG: Setting protocol to Xmodem Send.\n"
              "DEBUG: Adding 100%.zip (1) to list.\n");

    p = parse({"-vv", "rz", "a"});
    EXPECT_EQ(p.out,
              "DEBUG: Increasing verbosity to 1.\n"
              "DEBUG: Increasing verbosity to 2.\n"
              "DEBUG: Setting protocol to Zmodem Receive.\n"
              "DEBUG: Checking arg: a\n"
              "DEBUG: Adding a (0) to list.\n");
}

TEST(OperandPass, BatchFromTheThirdName)
{
    EXPECT_FALSE(parse({"sz", "a", "b"}).s.batch);
    EXPECT_TRUE(parse({"sz", "a", "b", "c"}).s.batch);
}

TEST(Environment, VeklogOverridesAndComesLast)
{
    Parsed p = parse({"-v", "-d", "x", "--veklog", "y", "sz", "a"}, {{"VEKLOG", ""}});
    EXPECT_EQ(p.s.veklog, "");
    EXPECT_TRUE(p.s.makeveklog);
    const std::string last = "DEBUG: Setting VEKlog to ''\n";
    ASSERT_GE(p.out.size(), last.size());
    EXPECT_EQ(p.out.substr(p.out.size() - last.size()), last);
}

TEST(Environment, TemporaryDirectory)
{
    struct Case {
        Environment env;
        std::string tmpdir, tmplog;
    } cases[] = {
        {{}, "/tmp", "/tmp/.vek.tmp"},
        {{{"TEMPDIR", "/var/t"}}, "/var/t", "/var/t/.vek.tmp"},
        {{{"TEMP", "/a"}, {"TEMPDIR", "/b"}}, "/a", "/a/.vek.tmp"},
        {{{"TMP", ""}, {"TEMP", "/a"}}, "", "/.vek.tmp"},
        {{{"TMP", "rel dir"}}, "rel dir", "/start/rel dir/.vek.tmp"},
    };
    for (const Case& c : cases) {
        Parsed p = parse({"sz"}, c.env);
        EXPECT_EQ(p.s.tmpdir, c.tmpdir);
        EXPECT_EQ(temp_log_base(p.s.tmpdir, "/start"), c.tmplog);
    }
}

TEST(ReceiveDecision, FromCommandLineNamesOnly)
{
    EXPECT_TRUE(parse({"rz"}).s.batch);
    EXPECT_FALSE(parse({"rz", "a"}).s.batch);
    EXPECT_FALSE(parse({"rz", "a", "b"}).s.batch);
    EXPECT_TRUE(parse({"rz", "a", "b", "c"}).s.batch);
    EXPECT_FALSE(parse({"rz", "@list", "a"}).s.batch);
    EXPECT_FALSE(parse({"rz", "a", "@"}).s.batch);
    EXPECT_TRUE(parse({"rz", "@"}).s.batch);
    EXPECT_TRUE(parse({"sz", "a"}).s.batch == false);
}

}  // namespace
