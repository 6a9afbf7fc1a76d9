#include "cmdline.h"

#include <gtest/gtest.h>

#include "diag.h"

namespace {

// What a parse of `args` decided, in one line: verbosity, transfer log, list,
// -s, protocol word, batch, the names, the temporary directory when
// not the default, and the status when the command line ends the run (none
// here: those runs are checked on the built program, in cli_test.cpp). Whatever it wrote to standard output goes to `out`.
std::string decided(Args args, const Environment& env, std::string& out)
{
    RunSettings s;
    args.insert(args.begin(), "vek");
    follow_telnet_setting(&s.telnet);
    testing::internal::CaptureStdout();
    const std::optional<int> status = parse_command_line(args, env, s);
    out = testing::internal::GetCapturedStdout();
    follow_telnet_setting(nullptr);
    std::string d = "v" + std::to_string(verbosity());
    set_verbosity(0);
    if (s.veklog)
        d += " log=" + *s.veklog;
    if (s.events)
        d += " events=" + *s.events;
    if (!s.filelist.empty())
        d += " list=" + s.filelist;
    if (s.makesyslog)
        d += " syslog";
    if (s.telnet)
        d += " telnet";
    if (s.proto != Protocol::none)
        d += std::string(" ") + (s.action == Direction::send ? 's' : 'r') + " xyz"[static_cast<int>(s.proto)];
    if (s.batch)
        d += " batch";
    for (size_t i = 0; i < s.filename.size(); ++i)
        d += (i ? "," : " [") + s.filename[i] + (i + 1 == s.filename.size() ? "]" : "");
    if (s.tmpdir != "/tmp")
        d += " tmp=" + s.tmpdir;
    if (status)
        d += " exit=" + std::to_string(*status);
    return d;
}

struct Case {
    Args args;
    std::string decided;
    const char* out = nullptr;  // null: not looked at
    Environment env = {};
};

TEST(CommandLine, Decides)
{
    const char* same_out =
        "DEBUG: Increasing verbosity to 1.\nDEBUG: Setting protocol to Zmodem Send.\n"
        "DEBUG: Adding a (0) to list.\nDEBUG: Adding b (1) to list.\n";
    const Case cases[] = {
        // Short options as getopt takes them: values whatever they hold,
        // options after operands, "--" ends them, and strict POSIX mode stops
        // at the first operand.
        {{"-vv", "-dlog", "sz"}, "v2 log=log sz"},
        {{"-d", "-v", "sz"}, "v0 log=-v sz"},
        {{"-f", "--", "sz"}, "v0 list=-- sz batch"},
        {{"sz", "a", "-v", "b", "--", "-s", "-v"}, "v1 sz [a,b]"},
        {{"-v", "sz", "-v", "-s"}, "v1 sz", nullptr, {{"POSIXLY_CORRECT", ""}}},
        // Wherever options stand, the same settings and messages.
        {{"sz", "a", "-v", "b"}, "v1 sz [a,b]", same_out},
        {{"-v", "sz", "a", "b"}, "v1 sz [a,b]", same_out},
        // Each message as the verbosity stands when it is made.
        {{"-d", "x.log", "-v"}, "v1 log=x.log", "DEBUG: Increasing verbosity to 1.\n"},
        {{"-v", "-d", "x.log", "-v", "-s", "-f", "l"}, "v2 log=x.log list=l syslog batch",
         "DEBUG: Increasing verbosity to 1.\nDEBUG: Setting veklog to x.log\nDEBUG: Increasing verbosity to 2.\n"
         "DEBUG: Turning on syslog()ing.\nDEBUG: Sending files in list 'l'.\n"},
        // The later list or log wins; --veklog skips what the option pass took.
        {{"@b", "-f", "a", "sz"}, "v0 list=b sz batch"},
        {{"-f", "a", "@b", "sz"}, "v0 list=b sz batch"},
        {{"--veklog", "y", "-d", "x", "sz"}, "v0 log=y sz"},
        {{"--VEKLOG", "y", "--veklog", "z", "sz"}, "v0 log=z sz"},
        {{"sz", "--veklog", "-v", "log", "a"}, "v1 log=log sz [a]"},
        {{"-f", "list", "@", "sz"}, "v0 sz batch"},
        // Protocol words, names and long options, in command-line order.
        {{"-v", "--Syslog", "SZ", "--nothing", "-", "ry", "sx", "-d", "x.log", "100%.zip"},
         "v1 log=x.log syslog sx [SZ,100%.zip]",
         "DEBUG: Increasing verbosity to 1.\nDEBUG: Setting veklog to x.log\nDEBUG: Turning on syslog()ing.\n"
         "DEBUG: Adding SZ (0) to list.\nDEBUG: Setting protocol to Ymodem Receive.\n"
         "DEBUG: Setting protocol to Xmodem Send.\nDEBUG: Adding 100%.zip (1) to list.\n"},
        {{"-vv", "rz", "a"}, "v2 rz [a]",
         "DEBUG: Increasing verbosity to 1.\nDEBUG: Increasing verbosity to 2.\n"
         "DEBUG: Setting protocol to Zmodem Receive.\nDEBUG: Checking arg: a\nDEBUG: Adding a (0) to list.\n"},
        // A send is a batch from the third name; a receive from none, or from
        // three, counting only the command line's names.
        {{"sz", "a", "b"}, "v0 sz [a,b]"},
        {{"sz", "a", "b", "c"}, "v0 sz batch [a,b,c]"},
        {{"rz"}, "v0 rz batch"},
        {{"rz", "a", "b"}, "v0 rz [a,b]"},
        {{"rz", "a", "b", "c"}, "v0 rz batch [a,b,c]"},
        {{"rz", "@list", "a"}, "v0 list=list rz [a]"},
        {{"rz", "a", "@"}, "v0 rz [a]"},
        {{"rz", "@"}, "v0 rz batch"},
        // VEKLOG overrides, even empty, and is said last.
        {{"-v", "-d", "x", "--veklog", "y", "sz", "a"}, "v1 log= sz [a]",
         "DEBUG: Increasing verbosity to 1.\nDEBUG: Setting veklog to x\nDEBUG: Setting veklog to y\n"
         "DEBUG: Setting protocol to Zmodem Send.\nDEBUG: Adding a (0) to list.\nDEBUG: Setting VEKlog to ''\n",
         {{"VEKLOG", ""}}},
        // The temporary directory: TMP, TEMP, TEMPDIR, the first set, even empty.
        {{"sz"}, "v0 sz tmp=/var/t", nullptr, {{"TEMPDIR", "/var/t"}}},
        {{"sz"}, "v0 sz tmp=/a", nullptr, {{"TEMP", "/a"}, {"TEMPDIR", "/b"}}},
        {{"sz"}, "v0 sz tmp=", nullptr, {{"TMP", ""}, {"TEMP", "/a"}}},
        {{"sz"}, "v0 sz tmp=rel dir", nullptr, {{"TMP", "rel dir"}}},
        // -t and --telnet anywhere; from there on our own lines go out as the
        // relay sends the command's, 0xFF doubled.
        {{"-t", "sz"}, "v0 telnet sz"},
        {{"sz", "a", "-vt"}, "v1 telnet sz [a]"},
        {{"--TELNET", "rz"}, "v0 telnet rz batch"},
        {{"sz", "-d", "-t"}, "v0 log=-t sz"},
        {{"sz", "--", "-t"}, "v0 sz"},
        // Events take a value as the log does, and VEKEVENTS wins as VEKLOG does.
        {{"-e", "ev", "sz"}, "v0 events=ev sz"},
        {{"-eev", "--EVENTS", "x", "sz"}, "v0 events=x sz"},
        {{"--events", "a", "sz"}, "v0 events= sz", nullptr, {{"VEKEVENTS", ""}}},
        {{"-t", "-v", "sz", "\xff"}, "v1 telnet sz [\xff]",
         "DEBUG: Increasing verbosity to 1.\nDEBUG: Setting protocol to Zmodem Send.\nDEBUG: Adding \xff\xff (0) to list.\n"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(decided(c.args, c.env, out), c.decided) << testing::PrintToString(c.args);
        if (c.out) {
            EXPECT_EQ(out, c.out) << testing::PrintToString(c.args);
        }
    }
}

}  // namespace
