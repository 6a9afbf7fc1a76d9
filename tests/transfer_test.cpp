// The transfer stage as the host sees it: the built program run with fake sz
// and rz first on PATH, which record how they were called.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include <sys/wait.h>

#include <thread>

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
    std::smatch m;  // the capture, as named in the command line shown
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(" 2>(" + dir / "tmp/\\.vek\\.tmp\\.[A-Za-z0-9]{12})\"\\)\n")))
        << r.out;
    const std::string log = m[1];
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
              "DEBUG: system(\"exec sz -brNvv \"a\" \"b c\" \"q\\$(id)\\\"\\`\\\\x\" 2>" + log + "\")\n"
              "DEBUG: Spawn returned 256!\n"
              "DEBUG: Reading: " + log + "\n"
              "DEBUG: Passed over 1 records for files this run did not move.\n"
              "DEBUG: removing temporary log.\n"
              "DEBUG: File transfer complete.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(recorded("sz.args"), "-brNvv\na\nb c\nq$(id)\"`\\x\n");
    EXPECT_EQ(recorded("sz.err"), log + "\n");
    EXPECT_EQ(recorded("sz.mode"), "600 fifo\n");  // nothing of the stream is stored
    EXPECT_EQ(read_file(dir / "vek.log"), sent("a", 12));
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
                         "DEBUG: system(\"exec sz -brNvv \"./-rf\" \"  lead\" \"100%.zip\" \" \" \"x y\" \"last\" 2>"),
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
        {"a//b", "a/", ""},
        {"", "", work},
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
        EXPECT_NE(r.out.find(head + "DEBUG: system(\"exec rz -bpRvv 2>"), std::string::npos) << r.out;
        EXPECT_EQ(recorded("rz.cwd"), c.where + "\n") << c.name;
        EXPECT_EQ(recorded("rz.args"), "-bpRvv\n") << c.name;
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// A relative TMP and VEKLOG belong to the starting directory, also for a
// single receive, which runs rz elsewhere: from an ordinary directory, from a
// path longer than a fixed buffer of 256, and from a directory that may be
// searched but not read. A TMP of blanks and shell characters reaches the
// shell as it is.
TEST_F(Transfer, RelativePathsBelongToTheStartingDirectory)
{
    const std::string odd = "a b$(touch pwned)`touch pwned`';\"\\ &|*\n<x>";
    std::string deep = dir / "work";
    for (int i = 0; i < 12; ++i) {
        deep += "/" + std::string(30, static_cast<char>('a' + i));
        mkdir(deep.c_str(), 0755);
    }
    const std::string unreadable = dir / "work/unreadable";
    for (const std::string& start : {deep, unreadable, dir / "work"})
        for (const std::string& sub : {std::string(), std::string("/in"), "/" + odd})
            mkdir((start + sub).c_str(), 0755);
    chmod(unreadable.c_str(), 0311);
    unprivileged();
    env["TMP"] = odd;
    env["VEKLOG"] = "vek.log";
    env["FAKE_CREATE"] = "a";
    for (const std::string& start : {deep, unreadable, dir / "work"}) {
        for (const std::vector<std::string>& args : {std::vector<std::string>{"sz", "a"}, {"rz"}, {"rz", "in/x.zip"}}) {
            env["FAKE_STDERR"] = (args[0] == "sz" ? "Sending: a" : "Receiving: a") + std::string("\\nBytes Sent: 9 BPS:8\\n");
            // Each receive makes its file anew, as rz -p does: one made by an
            // earlier run, a second before, is no file of this one.
            for (const char* made : {"/a", "/in/a"})
                std::remove((start + made).c_str());
            RunResult r = vek(args, start);
            EXPECT_EQ(r.status, 0) << start << " " << args.size();
            EXPECT_EQ(r.err, "") << start << " " << args.size();
            EXPECT_TRUE(recorded(args[0] + ".err").starts_with(start + "/" + odd + "/.vek.tmp."))
                << recorded(args[0] + ".err");
        }
        EXPECT_EQ(recorded("rz.cwd"), start + "/in\n");
        EXPECT_EQ(read_file(start + "/vek.log"), sent("a", 8) + received("a", 8) + received("a", 8)) << start;
        EXPECT_EQ(list_dir(start + "/" + odd), std::vector<std::string>{});
        EXPECT_FALSE(file_exists(start + "/pwned") || file_exists(start + "/in/pwned"));
    }
}

// More names, and a longer command, than any fixed table or buffer would
// take, within what the kernel passes to the shell: every name reaches sz in
// order and gets its record. A command of more than 128 KiB, one shell
// argument, the kernel refuses.
TEST_F(Transfer, TenThousandNamesRunAndATooLongCommandIsFatal)
{
    std::string list, args = "-brNvv\n", text, records;
    for (int i = 0; i < 10000; ++i) {
        const std::string name = "n" + std::to_string(100000 + i);
        list += name + "\n";
        args += name + "\n";
        text += sz_says(name, i % 97);
        records += sent(name, i % 97);
    }
    write_file(dir / "work/list", list);
    write_file(dir / "stderr", text);
    env["FAKE_STDERR_FILE"] = dir / "stderr";
    env["VEKLOG"] = dir / "vek.log";
    RunResult r = vek({"sz", "@list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(recorded("sz.args") == args) << "names lost or out of order";
    EXPECT_TRUE(read_file(dir / "vek.log") == records) << "records lost";

    std::remove((dir / "sz.args").c_str());
    write_file(dir / "work/list", list + list);
    r = vek({"-vvv", "sz", "@list"});
    const size_t begin = r.out.find("system(\"") + 8, end = r.out.find("\")\n", begin);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Fatal: Command too long for the shell (" + std::to_string(end - begin) + " characters)!\n");
    EXPECT_FALSE(ran("sz"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
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
    env.erase("FAKE_SIGNAL");
    // Nor before the command or after it (a user's keys on a terminal that is
    // cooked again): here while the file list, a FIFO, is being opened.
    const TimeLimit limit(10);
    mkfifo((dir / "list").c_str(), 0600);
    const RunOptions o = options();
    const RunResult r = run_function([&] {
        std::string path = "PATH=" + o.env.at("PATH"), fakes = "FAKE_DIR=" + dir.path();
        char* const envp[] = {path.data(), fakes.data(), nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(o.cwd.c_str()) == 0)
                execle(program().c_str(), "vek", "sz", ("@" + dir / "list").c_str(), nullptr, envp);
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, SIGINT);
        kill(pid, SIGQUIT);
        write_file(dir / "list", "a\n");
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(recorded("sz.args"), "-brNvv\na\n");
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

// What the shell says when it cannot run the command reaches the operator,
// and the system's reason when the shell itself cannot start; a command that
// ran and chose 126 or 127 itself (rz -p refusing a file it has) is no such
// case. The run still ends as every run does.
TEST_F(Transfer, CommandsThatCannotRunAreShown)
{
    env["ASAN_OPTIONS"] = "detect_leaks=0";  // the leak checker cannot work under a tracer
    const std::map<std::string, std::string> normal = env;
    env["PATH"] = dir / "bin";  // the fakes alone, so a missing one is missing
    write_file(dir / "bin/rz", "#!/bin/sh\n", 0644);
    std::remove((dir / "bin/sz").c_str());
    struct Case {
        std::vector<std::string> args;
        std::string err;
        bool own_status = false;
        std::vector<std::string> wrap;  // what the program runs under
    } cases[] = {
        {{"sz", "a"}, "Fatal! Can't run sz!\nsh: 1: exec: sz: not found\n", false, {}},
        {{"rz"}, "Fatal! Can't run rz!\nsh: 1: exec: rz: Permission denied\n", false, {}},
        {{"sz", "a"}, "", true, {}},
        {{"sz", "a"}, "Fatal! Can't run sz!\nResource temporarily unavailable\n", true,
         {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", "inject=clone,clone3,vfork:error=EAGAIN"}},
    };
    for (const Case& c : cases) {
        if (c.own_status) {
            env = normal;
            write_file(dir / "bin/sz", fake_tool, 0755);
            env["FAKE_STATUS"] = "127";
            env["FAKE_STDERR"] = "rz: a exists\\n";
        }
        if (!c.wrap.empty() && run_program({c.wrap[0], "-o", "/dev/null", "/bin/true"}).status != 0) {
            std::cerr << "strace cannot trace here: the start failure is not tried\n";
            continue;
        }
        std::vector<std::string> argv = c.wrap;
        argv.push_back(program());
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = run_program(argv, options());
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

}  // namespace
