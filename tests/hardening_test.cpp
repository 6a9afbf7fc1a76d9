// Many nodes at once, and input chosen to break things: the built program with
// the recording fake sz and rz. Each case has one clear outcome, and nothing
// that should reach sz or the transfer log goes missing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "fixtures.h"
#include "records.h"
#include "unique_fd.h"

namespace {

class Hardening : public FakeTools {};

TEST_F(Hardening, TwentyNodesShareOneTemporaryDirectoryAndOneTransferLog)
{
    constexpr int runs = 20, files = 100;
    const std::string gate = dir / "gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    // Held open for reading and writing, so that no run blocks opening it and
    // the release waits in the pipe for whoever reads it.
    const int gate_fd = open(gate.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(gate_fd, 0);
    env["VEKLOG"] = dir / "vek.log";
    env["FAKE_GATE"] = gate;

    std::vector<std::string> expected(runs);
    std::vector<RunResult> results(runs);
    std::vector<std::thread> threads;
    for (int r = 0; r < runs; ++r) {
        const std::string own = dir / ("run" + std::to_string(r));
        mkdir(own.c_str(), 0755);
        std::string text, list;
        for (int f = 0; f < files; ++f) {
            // Long, and of one letter per run, so that a torn or mixed record shows.
            std::string name = "r" + std::to_string(r) + "f" + std::to_string(f) + "-";
            name.resize(200, static_cast<char>('a' + r));
            text += sz_says(name, 100 + f);
            list += name + "\n";
            expected[r] += sent(name, 100 + f);
        }
        write_file(own + "/stderr", text);
        write_file(own + "/list", list);
        RunOptions o = options();
        o.env["FAKE_DIR"] = own;
        o.env["FAKE_STDERR_FILE"] = own + "/stderr";
        threads.emplace_back([&results, r, o, own] { results[r] = run_program({vek_binary(), "sz", "@" + own + "/list"}, o); });
    }
    const bool all_waiting = eventually([&] {
        for (int r = 0; r < runs; ++r)
            if (!file_exists(dir / ("run" + std::to_string(r) + "/sz.ready")))
                return false;
        return true;
    });
    const std::string release(runs, '\n');
    EXPECT_EQ(write(gate_fd, release.data(), release.size()), runs);
    for (std::thread& t : threads)
        t.join();
    close(gate_fd);
    EXPECT_TRUE(all_waiting) << "every run at the gate when it opened";

    // Each run's records are all there, whole and in its order, and there is
    // nothing else.
    std::vector<std::string> got(runs);
    std::istringstream log(read_file(dir / "vek.log"));
    int lines = 0;
    for (std::string line; std::getline(log, line); ++lines)
        for (int r = 0; r < runs; ++r)
            if (line.find("1024 r" + std::to_string(r) + "f") != std::string::npos)
                got[r] += line + "\n";
    EXPECT_EQ(lines, runs * files) << "records written";
    for (int r = 0; r < runs; ++r) {
        EXPECT_FALSE(results[r].timed_out) << r;
        EXPECT_EQ(results[r].status, 0) << r;
        EXPECT_EQ(results[r].err, "") << r;
        EXPECT_TRUE(got[r] == expected[r]) << "run " << r << ": " << got[r].size() << " of " << expected[r].size();
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Makes `top` and under it a chain of directories whose path is `length`
// long, a component at a time, since it may be longer than the kernel takes
// in one string. Returns the path and the deepest directory, open.
std::pair<std::string, int> deep_dir(const std::string& top, size_t length)
{
    mkdir(top.c_str(), 0755);
    std::string path = top;
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0 && path.size() + 2 <= length; ++i) {
        std::string part = "d" + std::to_string(i);
        part.resize(std::min<size_t>(200, length - path.size() - 1), 'x');
        mkdirat(fd, part.c_str(), 0755);
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
        path += "/" + part;
    }
    return {path, fd};
}

// Names and paths far longer than any small buffer, and paths longer than
// the kernel takes in one string.
TEST_F(Hardening, NamesAndPathsOfFiveThousandCharacters)
{
    auto brief = [](const std::string& text) {  // for a failure message
        return text.size() <= 200 ? text : text.substr(0, 100) + "..." + text.substr(text.size() - 100);
    };
    // A name whole on the command line and in the record, and paths just
    // within what the kernel takes: everything works.
    std::string name;
    while (name.size() < 5000)
        name += std::to_string(name.size() % 10);
    env["FAKE_STDERR"] = "Sending: " + name + "\\nBytes Sent: 9 BPS:8\\n";
    const auto [near, near_fd] = deep_dir(dir / "near", 4000);
    mkdir((near + "/tmp").c_str(), 0755);
    env["TMP"] = near + "/tmp";
    env["VEKLOG"] = near + "/vek.log";
    RunResult r = vek({"sz", name});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.empty()) << brief(r.err);
    EXPECT_TRUE(recorded("sz.args") == "-brNvv\n" + name + "\n");
    EXPECT_TRUE(read_file(near + "/vek.log") == sent(name, 8));
    EXPECT_EQ(list_dir(near + "/tmp"), std::vector<std::string>{});

    // Beyond it, an absolute temporary directory cannot be used: the command
    // cannot start, as with a missing one.
    env["FAKE_STDERR"] = "Sending: a\\nBytes Sent: 9 BPS:8\\n";
    std::remove((dir / "sz.args").c_str());
    const auto [deep, deep_fd] = deep_dir(dir / "deep", 5000);
    const std::string here = "/proc/self/fd/" + std::to_string(deep_fd);  // short, for us and for a child
    env["TMP"] = deep;
    env["VEKLOG"] = dir / "vek.log";
    r = vek({"sz", "a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err == "Fatal! Can't open " + deep + "/.vek.tmp!\n") << brief(r.err);
    EXPECT_FALSE(ran("sz"));
    EXPECT_FALSE(file_exists(dir / "vek.log"));
    EXPECT_EQ(list_dir(here), std::vector<std::string>{});

    // Nor an absolute transfer log: said before the transfer, which still runs.
    env["TMP"] = dir / "tmp";
    env["VEKLOG"] = deep + "/vek.log";
    r = vek({"sz", "a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err == "Fatal! Can't open veklog " + env["VEKLOG"] + "!\n") << brief(r.err);
    EXPECT_TRUE(ran("sz"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    // From a working directory that deep, relative paths are the only way to
    // name anything, and they work.
    std::remove((dir / "sz.args").c_str());
    mkdir((here + "/tmp").c_str(), 0755);
    env["TMP"] = "tmp";
    env["VEKLOG"] = "vek.log";
    r = vek({"sz", "a"}, here);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.empty()) << brief(r.err);
    EXPECT_TRUE(ran("sz"));
    EXPECT_EQ(read_file(here + "/vek.log"), sent("a", 8));
    EXPECT_EQ(list_dir(here + "/tmp"), std::vector<std::string>{});
    close(near_fd);
    close(deep_fd);
}

TEST_F(Hardening, GarbageNulBytesAndAHundredMegabyteLineInTheTemporaryLog)
{
    using namespace std::string_literals;
    {
        std::ofstream out(dir / "stderr", std::ios::binary);
        std::string garbage = random_bytes(1 << 20, 5);
        for (char& c : garbage)
            if (c && std::strchr("SsRrB", c))
                c = '.';  // so that no header or byte count forms by chance
        out << garbage << "\n";
        // A NUL ends what a chunk says: the name is "g", and the rate is not read.
        out << "Sending: g\0hidden\nBytes Sent: 12\0 BPS:99\n"s;
        out << std::string(65536, '\0') << "\n";
        out << "Sending: after nul\r\nBytes Sent: 5 BPS:77\r\n";
        // One line of 100 MB without a line end. A header deep inside it takes
        // the rest of the line as its name (kept only up to a bound), so
        // neither its count nor the last header counts. Chunks padded to 255
        // bytes start where the next one does and keep their text.
        auto chunk = [](const std::string& text) { return text + std::string(255 - text.size(), ' '); };
        const std::string xs(255 * 1000, 'x');
        for (int i = 0; i < 200; ++i)
            out << xs;
        out << chunk("Sending: deep") << chunk("Bytes Sent: 3 BPS:4444");
        for (int i = 0; i < 192; ++i)
            out << xs;
        out << chunk("Sending: never") << "Bytes Sent: 1 BPS:1";
        ASSERT_TRUE(out.good());
    }
    env["FAKE_STDERR_FILE"] = dir / "stderr";
    env["VEKLOG"] = dir / "vek.log";
    RunResult r = vek({"sz", "g", "after nul", "deep"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir / "vek.log"), sent("g", 0) + sent("after nul", 77));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    // Every process this test has waited for, the program among them, stayed
    // far below the size of the line: nothing held it whole.
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    EXPECT_LT(ru.ru_maxrss, 50 * 1024) << "largest child, KiB";
}

// A transfer log that cannot be opened is said once, before the transfer,
// which runs all the same; one that takes nothing, or part of a record, is
// said at each record. Nothing is left behind, and nothing overwritten.
TEST_F(Hardening, TransferLogThatCannotBeWritten)
{
    write_file(dir / "stderr", "Sending: a\nBytes Sent: 9 BPS:8\nSending: b\nBytes Sent: 9 BPS:8\n");
    env["FAKE_STDERR_FILE"] = dir / "stderr";
    mkdir((dir / "adir").c_str(), 0755);
    mkfifo((dir / "fifo").c_str(), 0600);  // would block: no reader
    write_file(dir / "file", "keep");
    write_file(dir / "readonly", "keep", 0444);
    const std::string limited = dir / "limited.log";
    const std::string earlier = std::string(99, '.') + "\n";
    write_file(limited, earlier);
    unprivileged();
    const std::string full = "Error! Can't write veklog /dev/full: No space left on device\n";
    const std::string short_write =
        "Error! Short write to veklog " + limited + " (10 of " + std::to_string(sent("a", 8).size()) + " bytes)\n";
    const std::pair<std::string, std::string> cases[] = {
        {dir / "adir", ""}, {dir / "file/sub", ""}, {dir / "readonly", ""}, {dir / "fifo", ""}, {"", ""},
        {"/dev/full", full + full},
        // A file size limit 10 bytes past what the log holds: each record
        // goes in short, and is taken back (the program ignores SIGXFSZ).
        {limited, short_write + short_write},
    };
    for (const auto& [veklog, err] : cases) {
        env["VEKLOG"] = veklog;
        std::remove((dir / "sz.args").c_str());
        const RunResult r = veklog != limited
                                ? vek({"sz", "a", "b"})
                                : run_program({"/usr/bin/prlimit", "--fsize=110", program(), "sz", "a", "b"}, options());
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, err.empty() ? "Fatal! Can't open veklog " + veklog + "!\n" : err);
        EXPECT_TRUE(ran("sz"));
        EXPECT_EQ(leftovers(), std::vector<std::string>{}) << veklog;
    }
    // No line of the log is part of a record, so the next run's records stand alone.
    EXPECT_EQ(read_file(limited), earlier);
    env["VEKLOG"] = limited;
    vek({"sz", "a"});
    EXPECT_EQ(read_file(limited), earlier + sent("a", 8));
    EXPECT_EQ(read_file(dir / "file") + read_file(dir / "readonly"), "keepkeep");
    EXPECT_EQ(list_dir(dir / "adir"), std::vector<std::string>{});
    // A log that ends mid-line (a cut record that could not be taken back,
    // on an append-only log): the next record starts a line of its own.
    write_file(limited, "S  99999 38");
    vek({"sz", "a"});
    EXPECT_EQ(read_file(limited), "S  99999 38\n" + sent("a", 8));
}

// A lock someone else holds on the log (a reader, even one that may only
// read it) holds no run for long: it waits about two seconds once, says so,
// and writes its records all the same; a stop during the wait acts at once.
TEST_F(Hardening, TransferLogLockedByAnother)
{
    const TimeLimit limit(20);
    write_file(dir / "stderr", "Sending: a\nBytes Sent: 9 BPS:8\nSending: b\nBytes Sent: 9 BPS:8\n");
    env["FAKE_STDERR_FILE"] = dir / "stderr";
    const std::string log = dir / "xfer.log";
    write_file(log, "");
    env["VEKLOG"] = log;
    const UniqueFd reader(open(log.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(reader.get(), LOCK_SH), 0);
    const auto seconds_of = [](auto run) {
        const auto start = std::chrono::steady_clock::now();
        run();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    RunResult r;
    const double waited = seconds_of([&] { r = vek({"sz", "a", "b"}); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error! The lock on veklog " + log + " is held elsewhere; writing without it.\n");
    EXPECT_EQ(read_file(log), sent("a", 8) + sent("b", 8));
    EXPECT_GT(waited, 1.5);
    EXPECT_LT(waited, 4.0) << "waited for each record";

    const double stopped = seconds_of([&] {
        r = run_program({"/bin/sh", "-c", "\"$0\" sz a & sleep 0.5; kill -TERM $!; wait $!", program()}, options());
    });
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_LT(stopped, 1.5);
    EXPECT_EQ(read_file(log), sent("a", 8) + sent("b", 8) + sent("a", 8));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Without a place for the capture the command does not run at all (its
// records could not be written); the run ends as every run does.
TEST_F(Hardening, TemporaryDirectoryThatCannotHoldTheCaptureStopsOnlyTheCommand)
{
    write_file(dir / "file", "keep");
    mkdir((dir / "readonly").c_str(), 0555);
    unprivileged();
    env["VEKLOG"] = dir / "vek.log";
    for (const std::string& tmp : {dir / "absent", dir / "file/sub", dir / "readonly"}) {
        env["TMP"] = tmp;
        RunResult r = vek({"-vv", "sz", "a"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.ends_with("DEBUG: Sending file batch.\nDEBUG: File transfer complete.\n")) << r.out;
        EXPECT_EQ(r.err, "Fatal! Can't open " + tmp + "/.vek.tmp!\n");
        EXPECT_FALSE(ran("sz"));
        EXPECT_FALSE(file_exists(dir / "vek.log"));
    }
    EXPECT_EQ(read_file(dir / "file"), "keep");
    EXPECT_EQ(list_dir(dir / "readonly"), std::vector<std::string>{});
}

// System calls made to fail with strace. A failed read or poll of the
// capture that passes loses nothing; one that stays is said once, and the
// command, which writes more than the pipe holds, is not left blocked on it
// (the capture's first read is found by counting the reads of a run that
// makes none). Without the kernel's random bytes, each try at the capture's
// name is a new name.
TEST_F(Hardening, SystemCallsThatFail)
{
    const std::string strace = "/usr/bin/strace";
    env["ASAN_OPTIONS"] = "detect_leaks=0";  // the leak checker cannot work under a tracer
    const RunResult count = run_program({strace, "-qq", "-o", dir / "reads", "-e", "trace=read", program(), "-V"});
    if (count.status != 0)
        GTEST_SKIP() << "strace cannot trace here";
    const std::string reads = read_file(dir / "reads");
    const std::string first = std::to_string(std::count(reads.begin(), reads.end(), '\n') + 1);
    std::string text = "Sending: a\nBytes Sent: 9 BPS:8\n";
    text += std::string(2 << 20, 'x') + "\nSending: b\nBytes Sent: 9 BPS:8\n";
    write_file(dir / "stderr", text);
    env["FAKE_STDERR_FILE"] = dir / "stderr";
    env["VEKLOG"] = dir / "vek.log";
    const struct {
        std::string inject;
        std::string log, err;
    } cases[] = {
        {"inject=ppoll:error=ENOMEM:when=1", sent("a", 8) + sent("b", 8), ""},
        {"inject=read:error=EIO:when=" + first, sent("a", 8) + sent("b", 8), ""},
        {"inject=read:error=EIO:when=" + first + "+", "", "Error! Can't read .*: Input/output error\n"},
    };
    for (const auto& c : cases) {
        std::remove((dir / "vek.log").c_str());
        const RunResult r = run_program({strace, "-qq", "-o", "/dev/null", "-e", c.inject, program(), "sz", "a", "b"},
                                        options());
        EXPECT_FALSE(r.timed_out) << c.inject;
        EXPECT_EQ(r.status, 0) << c.inject;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << c.inject << ": " << r.err;
        EXPECT_EQ(file_exists(dir / "vek.log") ? read_file(dir / "vek.log") : "", c.log) << c.inject;
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }

    // An exception once the command runs (no thread for the relay): the
    // command is ended and reaped, the capture removed, and it is said.
    mkfifo((dir / "gate").c_str(), 0600);
    env["FAKE_GATE"] = dir / "gate";
    const RunResult thrown = run_program({strace, "-qq", "-o", "/dev/null", "-e",
                                          "inject=clone3:error=EAGAIN:delay_enter=300000:when=2", program(), "-t",
                                          "sz", "a"},
                                         options());
    env.erase("FAKE_GATE");
    EXPECT_EQ(thrown.status, 255);
    EXPECT_EQ(thrown.err, "Fatal: Resource temporarily unavailable!\n");
    ASSERT_TRUE(file_exists(dir / "sz.pid")) << "the command had not started";
    EXPECT_NE(kill(std::stoi(recorded("sz.pid")), 0), 0) << "the command is left running";
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    // A capture that cannot be removed is said.
    const RunResult kept = run_program({strace, "-qq", "-o", "/dev/null", "-e", "inject=unlink:error=EIO", program(),
                                        "sz", "a"},
                                       options());
    EXPECT_EQ(kept.status, 0);
    EXPECT_TRUE(std::regex_match(kept.err, std::regex("Error! Can't remove .*/tmp/\\.vek\\.tmp\\..*: Input/output error\n")))
        << kept.err;
    for (const std::string& left : leftovers())
        std::remove((dir / ("tmp/" + left)).c_str());

    const RunResult r = run_program({strace, "-qq", "-o", dir / "names", "-e", "trace=mknodat", "-e",
                                     "inject=getrandom:error=ENOSYS", "-e", "inject=mknodat:error=EEXIST:when=1..3",
                                     program(), "sz", "a"},
                                    options());
    EXPECT_EQ(r.status, 0);
    std::set<std::string> names;
    std::istringstream trace(read_file(dir / "names"));
    for (std::string line; std::getline(trace, line);)
        if (line.starts_with("mknodat("))
            names.insert(line.substr(0, line.find(", S_IFIFO")));
    EXPECT_EQ(names.size(), 4u) << read_file(dir / "names");
}

}  // namespace
