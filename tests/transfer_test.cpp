// The transfer stage as the host sees it: the built program run with fake sz
// and rz first on PATH, which record how they were called.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "fixtures.h"
#include "records.h"

namespace {

class Transfer : public FakeTools {};

TEST_F(Transfer, SendRunsTheExactCommandAndConvertsItsLog)
{
    env["VEKLOG"] = dir / "vek.log";
    // A record for a file this run did not send is passed over, and said so.
    env["FAKE_STDERR"] = "Sending: a\\nBytes Sent: 100 BPS:12\\nSending: z\\nBytes Sent: 1 BPS:1\\n";
    env["FAKE_STATUS"] = "1";
    RunResult r = vek({"-vvv", "sz", "a", "b c", "q$(id)\"`\\x"});
    const std::string log = log_of(r.out);
    EXPECT_TRUE(std::regex_match(log, std::regex(dir / "tmp/\\.vek\\.tmp\\.[A-Za-z0-9]{12}")))
        << log;
    EXPECT_EQ(r.out,
              "DEBUG: Increasing verbosity to 1.\n"
              "DEBUG: Increasing verbosity to 2.\n"
              "DEBUG: Increasing verbosity to 3.\n"
              "DEBUG: Setting protocol to Zmodem Send.\n"
              "DEBUG: Checking arg: a\n"
              "DEBUG: Adding a (0) to list.\n"
              "DEBUG: Checking arg: b c\n"
              "DEBUG: Adding b c (1) to list.\n"
              "DEBUG: Checking arg: q$(id)\"`\\x\n"
              "DEBUG: Adding q$(id)\"`\\x (2) to list.\n"
              "DEBUG: Setting VEKlog to '" + dir / "vek.log" + "'\n"
              "DEBUG: Sending file batch.\n"
              "DEBUG: system(\"sz -brNvv \"a\" \"b c\" \"q\\$(id)\\\"\\`\\\\x\" 2>" + log + "\")\n"
              "DEBUG: Spawn returned 256!\n"
              "DEBUG: Reading: " + log + "\n"
              "DEBUG: Passed over 1 records for files this run did not move.\n"
              "DEBUG: removing temporary log.\n"
              "DEBUG: File transfer complete.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(recorded("sz.args"), "-brNvv\na\nb c\nq$(id)\"`\\x\n");
    EXPECT_EQ(recorded("sz.err"), log + "\n");
    EXPECT_EQ(recorded("sz.mode"), "600\n");
    EXPECT_EQ(read_file(dir / "vek.log"), sent("a", 12));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(Transfer, EveryProtocolWordRunsTheSameCommandForItsDirection)
{
    for (const char* word : {"sx", "sy", "sz"}) {
        RunResult r = vek({word});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(recorded("sz.args"), "-brNvv\n") << word;
    }
    for (const char* word : {"rx", "ry", "rz"}) {
        RunResult r = vek({"-vv", word});
        EXPECT_NE(r.out.find("DEBUG: Receiving file batch.\n"), std::string::npos) << word;
        EXPECT_EQ(recorded("rz.args"), "-bpRvv\n") << word;
        EXPECT_EQ(recorded("rz.cwd"), dir / "work\n") << word;
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// The list's names take the place of the command line's, from the first;
// blank lines go, and a name that starts with a dash stays a file.
TEST_F(Transfer, FileListNamesReplaceCommandLineNamesAndDashNamesStayFiles)
{
    write_file(dir / "work/list", "\n-rf\n  lead\r\n\n100%.zip  \n \n\nx y \nlast");
    RunResult r = vek({"-vvv", "sz", "a", "b", "c", "d", "e", "f", "g", "@list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("DEBUG: Adding file on line 0 (-rf).\n"
                         "DEBUG: Adding file on line 1 (  lead).\n"
                         "DEBUG: Adding file on line 2 (100%.zip).\n"
                         "DEBUG: Adding file on line 3 ( ).\n"
                         "DEBUG: Adding file on line 4 (x y).\n"
                         "DEBUG: Adding file on line 5 (last).\n"
                         "DEBUG: Sending file batch.\n"
                         "DEBUG: system(\"sz -brNvv \"./-rf\" \"  lead\" \"100%.zip\" \" \" \"x y\" \"last\" 2>"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(recorded("sz.args"), "-brNvv\n./-rf\n  lead\n100%.zip\n \nx y\nlast\n");
}

// A name that asks for a directory gets it or nothing; a bare name runs in
// its directory when there is one, else here.
TEST_F(Transfer, SingleReceiveRunsInTheNamesDirectory)
{
    mkdir((dir / "work/in").c_str(), 0755);
    const std::string work = dir / "work";
    struct Case {
        std::string name, target, where;  // where: empty when refused
    } cases[] = {
        {work + "/in/x.zip", work + "/in", work + "/in"},
        {"in/", "in", work + "/in"},
        {"in", "in", work + "/in"},
        {"absent", "absent", work},
        {"/x.zip", "", work},
        {"absent/x.zip", "absent", ""},
        {"in/x.zip/y", "in/x.zip", ""},
    };
    for (const Case& c : cases) {
        std::remove((dir / "rz.cwd").c_str());
        std::remove((dir / "rz.args").c_str());
        RunResult r = vek({"-vvv", "rz", c.name});
        const std::string head = "DEBUG: Receiving one file (" + c.name + ").\nDEBUG: chdir '" + c.target + "'\n";
        if (c.where.empty()) {
            EXPECT_TRUE(r.out.ends_with(head)) << r.out;
            EXPECT_EQ(r.err, "Fatal: Cannot change to directory " + c.target + "!\n");
            EXPECT_EQ(r.status, 1);
            EXPECT_FALSE(ran("rz")) << c.name;
            continue;
        }
        EXPECT_NE(r.out.find(head + "DEBUG: system(\"rz -bpRvv 2>"), std::string::npos) << r.out;
        EXPECT_EQ(recorded("rz.cwd"), c.where + "\n") << c.name;
        EXPECT_EQ(recorded("rz.args"), "-bpRvv\n") << c.name;
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// A single receive runs rz elsewhere, but its relative capture and transfer
// log belong to the starting directory: from a path longer than a fixed
// buffer of 256, and from a directory that may be searched but not read.
TEST_F(Transfer, SingleReceiveFromAnAwkwardStartingDirectory)
{
    std::string deep = dir / "work";
    for (int i = 0; i < 12; ++i) {
        deep += "/" + std::string(30, static_cast<char>('a' + i));
        mkdir(deep.c_str(), 0755);
    }
    const std::string unreadable = dir / "work/unreadable";
    for (const std::string& start : {deep, unreadable})
        for (const char* sub : {"", "/tmp", "/in"})
            mkdir((start + sub).c_str(), 0755);
    chmod(unreadable.c_str(), 0311);
    unprivileged();
    env["TMP"] = "tmp";  // in the starting directory only
    env["VEKLOG"] = "relative.log";
    env["FAKE_STDERR"] = "Receiving: x.zip\\nBytes received: 5/5 BPS:1\\n";
    env["FAKE_CREATE"] = "x.zip";
    for (const std::string& start : {deep, unreadable}) {
        RunResult r = vek({"rz", "in/x.zip"}, start);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(recorded("rz.cwd"), start + "/in\n");
        EXPECT_TRUE(recorded("rz.err").starts_with(start + "/tmp/.vek.tmp.")) << recorded("rz.err");
        EXPECT_EQ(read_file(start + "/relative.log"), received("x.zip"));
        EXPECT_EQ(list_dir(start + "/in"), std::vector<std::string>{"x.zip"});
        std::remove((start + "/in/x.zip").c_str());
        EXPECT_EQ(list_dir(start + "/tmp"), std::vector<std::string>{});
        std::remove((dir / "rz.cwd").c_str());
    }
}

TEST_F(Transfer, RefusedRunsNeitherReadTheListNorRunACommand)
{
    mkdir((dir / "work/adir").c_str(), 0755);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-v", "@absent"}, 255, "Fatal: Protocol not specified!\n"},
        {{"sz", "@absent"}, 1, "Fatal: Cannot open absent!\n"},
        {{"sz", "-f", "adir"}, 1, "Fatal: Cannot open adir!\n"},
        {{"rz", "@adir"}, 1, "Fatal: Cannot open adir!\n"},
    };
    for (const Case& c : cases) {
        RunResult r = vek(c.args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(r.timed_out);
    }
    EXPECT_FALSE(ran("sz"));
    EXPECT_FALSE(ran("rz"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(Transfer, LongCommandsRunAndTooLongOnesAreFatal)
{
    // More names, and a longer command, than any fixed table or buffer would
    // take, still within what the kernel passes to the shell.
    std::string list;
    for (int i = 0; i < 120; ++i)
        list += std::string(896, 'n') + std::to_string(1000 + i) + "\n";
    write_file(dir / "work/list", list);
    RunResult r = vek({"sz", "@list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(recorded("sz.args").size(), 7u + 120u * 901u);

    // One shell argument of more than 128 KiB: the kernel refuses it.
    std::remove((dir / "sz.args").c_str());
    write_file(dir / "work/list", list + list);
    r = vek({"-vvv", "sz", "@list"});
    const size_t begin = r.out.find("system(\"") + 8, end = r.out.find("\")\n", begin);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Fatal: Command too long for the shell (" + std::to_string(end - begin) +
                         " characters)!\n");
    EXPECT_FALSE(ran("sz"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Without a place for the capture the command does not run at all: its
// records could not be written.
TEST_F(Transfer, TemporaryDirectoryThatCannotHoldTheCaptureStopsOnlyTheCommand)
{
    env["TMP"] = dir / "absent";
    env["VEKLOG"] = dir / "vek.log";
    RunResult r = vek({"-vv", "sz", "a"});
    EXPECT_TRUE(r.out.ends_with("DEBUG: Sending file batch.\nDEBUG: File transfer complete.\n")) << r.out;
    EXPECT_EQ(r.err, "Fatal! Can't open " + dir / "absent/.vek.tmp" + "!\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(ran("sz"));
    EXPECT_FALSE(file_exists(dir / "vek.log"));
}

TEST_F(Transfer, PlantedLinkAtTheFixedNameIsNotFollowed)
{
    write_file(dir / "victim", "keep");
    symlink((dir / "victim").c_str(), (dir / "tmp/.vek.tmp").c_str());
    env["FAKE_STDERR"] = "overwritten";
    RunResult r = vek({"sz", "a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir / "victim"), "keep");
    EXPECT_EQ(leftovers(), std::vector<std::string>{".vek.tmp"});
}

TEST_F(Transfer, InterruptAndQuitHitTheCommandNotTheProgram)
{
    for (const char* sig : {"INT", "QUIT"}) {
        env["FAKE_SIGNAL"] = sig;
        RunResult r = vek({"-v", "sz", "a"});
        EXPECT_EQ(r.status, 0) << sig;
        EXPECT_TRUE(r.out.ends_with("DEBUG: File transfer complete.\n")) << r.out;
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

// The shell that runs the command starts with interrupt and quit as the
// program found them (it ignores both itself meanwhile) and with SIGCHLD not
// blocked. Seen in a private mount namespace whose /bin/sh records how it was
// started, since a real shell changes that before anything it runs can look.
TEST_F(Transfer, CommandShellStartsWithTheSignalsTheProgramFound)
{
    write_file(dir / "sh",
               "#!/usr/bin/perl\n"
               "open(my $in, '<', '/proc/self/status') && open(my $out, '>', \"$ENV{FAKE_DIR}/sh.sig\") or die;\n"
               "print $out grep(/^Sig(Blk|Ign):/, <$in>);\n",
               0755);
    const std::string unshare = geteuid() == 0 ? "-m" : "-rm";
    if (run_program({"/usr/bin/unshare", unshare, "true"}, options()).status != 0)
        GTEST_SKIP() << "no private mount namespace for this user";
    for (const std::string ignore : {"", "trap '' INT QUIT; "}) {
        RunResult r = run_program({"/usr/bin/unshare", unshare, "/bin/sh", "-c",
                                   ignore + "mount --bind \"$0\" /bin/sh && exec \"$@\"", dir / "sh",
                                   program(), "sz", "a"},
                                  options());
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string sig = recorded("sh.sig");
        auto has = [&](const std::string& mask, int signal) {
            const size_t at = sig.find(mask + ":");
            return at != std::string::npos &&
                   (std::stoull(sig.substr(at + mask.size() + 1), nullptr, 16) >> (signal - 1) & 1);
        };
        EXPECT_EQ(has("SigIgn", SIGINT), !ignore.empty()) << sig;
        EXPECT_EQ(has("SigIgn", SIGQUIT), !ignore.empty()) << sig;
        for (int held : {SIGHUP, SIGTERM, SIGPIPE})  // held or ignored by the program meanwhile
            EXPECT_FALSE(has("SigIgn", held)) << held << sig;
        EXPECT_FALSE(has("SigBlk", SIGCHLD)) << sig;
        std::remove((dir / "sh.sig").c_str());
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// What the shell says when it cannot run the command reaches the operator;
// the run still ends as every run does.
TEST_F(Transfer, CommandsThatCannotRunAreShown)
{
    env["PATH"] = dir / "bin";  // the fakes alone, so a missing one is missing
    write_file(dir / "bin/rz", "#!/bin/sh\n", 0644);
    std::remove((dir / "bin/sz").c_str());
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"sz", "a"}, "Fatal! Can't run sz!\nsh: 1: sz: not found\n"},
        {{"rz"}, "Fatal! Can't run rz!\nsh: 1: rz: Permission denied\n"},
    };
    for (const auto& [args, err] : cases) {
        RunResult r = vek(args);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

// A transfer log that would block or is named by an empty VEKLOG is said at
// once; the transfer runs and nothing is left behind.
TEST_F(Transfer, TransferLogThatCannotBeOpenedDoesNotStopTheTransfer)
{
    mkfifo((dir / "fifo").c_str(), 0600);
    env["FAKE_STDERR"] = "Sending: a\\nBytes Sent: 1 BPS:2\\n";
    for (const std::string& veklog : {dir / "fifo", std::string()}) {
        env["VEKLOG"] = veklog;
        std::remove((dir / "sz.args").c_str());
        RunResult r = vek({"sz", "a"});
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.err, "Fatal! Can't open veklog " + veklog + "!\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(ran("sz"));
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

}  // namespace
