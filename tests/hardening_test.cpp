// Many nodes at once, and input chosen to break things: the built program with
// the recording fake sz and rz. Each case has one clear outcome, and nothing
// that should reach sz or the transfer log goes missing.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "fixtures.h"
#include "records.h"

namespace {

// A chunk of the temporary log padded with blanks to the chunk length, so that
// it starts exactly where the next one does and keeps its text.
std::string whole_chunk(const std::string& text)
{
    return text + std::string(255 - text.size(), ' ');
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl + 1 - start));
    if (start < text.size())
        lines.push_back(text.substr(start));  // an unfinished last line
    return lines;
}

// A chain of directories whose path is longer than the kernel takes in one
// string: made a component at a time, and removed by rm, which descends the
// same way.
class DeepDir {
public:
    DeepDir(const std::string& base, const std::string& top, size_t length) : top_(base + "/" + top)
    {
        mkdir(top_.c_str(), 0755);
        fd_ = open(top_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        path_ = top_;
        for (int i = 0; fd_ >= 0 && path_.size() + 2 <= length; ++i) {
            std::string part = "d" + std::to_string(i);
            part.resize(std::min<size_t>(200, length - path_.size() - 1), 'x');
            mkdirat(fd_, part.c_str(), 0755);
            const int next = openat(fd_, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(fd_);
            fd_ = next;
            path_ += "/" + part;
        }
    }
    ~DeepDir()
    {
        close(fd_);
        RunOptions o;
        o.timeout_seconds = 30;
        run_program({"/bin/rm", "-rf", top_}, o);
    }
    DeepDir(const DeepDir&) = delete;
    DeepDir& operator=(const DeepDir&) = delete;

    const std::string& path() const { return path_; }
    // Shell commands that make the deepest directory the working directory, a
    // component at a time ("-P": a logical cd would try the whole path).
    std::string enter() const
    {
        std::string script = "cd " + top_;
        for (size_t at = top_.size() + 1, slash; at < path_.size(); at = slash + 1) {
            slash = std::min(path_.find('/', at), path_.size());
            script += " && cd -P " + path_.substr(at, slash - at);
        }
        return script;
    }

    // `sub` inside the deepest directory, by a path short enough to open.
    std::string inside(const std::string& sub) const
    {
        return "/proc/self/fd/" + std::to_string(fd_) + "/" + sub;
    }

private:
    std::string top_, path_;
    int fd_ = -1;
};

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

    std::vector<std::vector<std::string>> expected(runs);
    std::vector<RunOptions> opts(runs);
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
            expected[r].push_back(sent(name, 100 + f));
        }
        write_file(own + "/stderr", text);
        write_file(own + "/list", list);
        opts[r].env = env;
        opts[r].env["FAKE_DIR"] = own;
        opts[r].env["FAKE_STDERR_FILE"] = own + "/stderr";
        opts[r].cwd = dir / "work";
        opts[r].timeout_seconds = 60;
    }

    std::vector<RunResult> results(runs);
    std::vector<std::thread> threads;
    for (int r = 0; r < runs; ++r)
        threads.emplace_back(
            [&, r] { results[r] = run_program({vek_binary(), "sz", "@" + dir / ("run" + std::to_string(r) + "/list")}, opts[r]); });
    int waiting = 0;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         waiting < runs && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        waiting = 0;
        for (int r = 0; r < runs; ++r)
            waiting += file_exists(dir / ("run" + std::to_string(r) + "/sz.ready"));
    }
    const std::string release(runs, '\n');
    EXPECT_EQ(write(gate_fd, release.data(), release.size()), runs);
    for (std::thread& t : threads)
        t.join();
    close(gate_fd);
    EXPECT_EQ(waiting, runs) << "runs at the gate when it opened";

    for (int r = 0; r < runs; ++r) {
        EXPECT_FALSE(results[r].timed_out) << r;
        EXPECT_EQ(results[r].status, 0) << r;
        EXPECT_EQ(results[r].err, "") << r;
    }
    // Every line is some run's record; each run's records are all there, whole
    // and in its order.
    const std::vector<std::string> log = lines_of(read_file(dir / "vek.log"));
    EXPECT_EQ(log.size(), static_cast<size_t>(runs * files)) << "records written";
    for (int r = 0; r < runs; ++r) {
        const std::string mine = "1024 r" + std::to_string(r) + "f";
        std::vector<std::string> got;
        for (const std::string& line : log)
            if (line.find(mine) != std::string::npos)
                got.push_back(line);
        EXPECT_TRUE(got == expected[r]) << "run " << r << ": " << got.size() << " of " << files;
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(Hardening, TenThousandListedNamesAllReachSzInOrderAndAllGetRecords)
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
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(Hardening, NamesOfFiveThousandCharacters)
{
    std::string name;
    while (name.size() < 5000)
        name += std::to_string(name.size() % 10);
    env["VEKLOG"] = dir / "vek.log";
    env["FAKE_STDERR"] = "Sending: " + name + "\\nBytes Sent: 9 BPS:8\\n";

    // Whole on the command line, and whole in the record.
    RunResult r = vek({"sz", name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(recorded("sz.args"), "-brNvv\n" + name + "\n");
    EXPECT_EQ(read_file(dir / "vek.log"), sent(name, 8));

    // A list is read in pieces of 1023 characters; each piece is a name.
    write_file(dir / "work/list", name + "\n");
    r = vek({"sz", "@list"});
    EXPECT_EQ(r.status, 0);
    std::string pieces = "-brNvv\n";
    for (size_t at = 0; at < name.size(); at += 1023)
        pieces += name.substr(at, 1023) + "\n";
    EXPECT_EQ(recorded("sz.args"), pieces);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Paths too long to print whole in a failure message.
std::string brief(const std::string& text)
{
    return text.size() <= 200 ? text : text.substr(0, 100) + "..." + text.substr(text.size() - 100);
}

TEST_F(Hardening, PathsOfFiveThousandCharacters)
{
    env["FAKE_STDERR"] = "Sending: a\\nBytes Sent: 9 BPS:8\\n";
    const std::string record = sent("a", 8);

    // Just within what the kernel takes in one path: everything works.
    DeepDir near(dir.path(), "near", 4000);
    mkdir((near.path() + "/tmp").c_str(), 0755);
    env["TMP"] = near.path() + "/tmp";
    env["VEKLOG"] = near.path() + "/vek.log";
    RunResult r = vek({"sz", "a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.empty()) << brief(r.err);
    EXPECT_EQ(read_file(near.path() + "/vek.log"), record);
    EXPECT_EQ(list_dir(near.path() + "/tmp"), std::vector<std::string>{});

    // Beyond it, an absolute temporary directory cannot be used: the command
    // cannot start, as with a missing one.
    std::remove((dir / "sz.args").c_str());
    DeepDir deep(dir.path(), "deep", 5000);
    env["TMP"] = deep.path();
    env["VEKLOG"] = dir / "vek.log";
    r = vek({"sz", "a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.ends_with("Fatal! Can't open " + deep.path() + "/.vek.tmp!\n"))
        << brief(r.err);
    EXPECT_FALSE(ran("sz"));
    EXPECT_FALSE(file_exists(dir / "vek.log"));
    EXPECT_EQ(list_dir(deep.inside(".")), std::vector<std::string>{});

    // Nor an absolute transfer log: said before the transfer, which still runs.
    env["TMP"] = dir / "tmp";
    env["VEKLOG"] = deep.path() + "/vek.log";
    r = vek({"sz", "a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err == "Fatal! Can't open veklog " + env["VEKLOG"] + "!\n") << brief(r.err);
    EXPECT_TRUE(ran("sz"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    // From a working directory that deep, relative paths are the only way to
    // name anything, and they work.
    std::remove((dir / "sz.args").c_str());
    RunOptions o;
    o.env = env;
    o.env["TMP"] = "tmp";
    o.env["VEKLOG"] = "vek.log";
    o.timeout_seconds = 30;
    const std::string script = deep.enter() + " && mkdir tmp && exec \"$0\" sz a";
    r = run_program({"/bin/sh", "-c", script, vek_binary()}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.empty()) << brief(r.err);
    EXPECT_TRUE(ran("sz"));
    EXPECT_EQ(read_file(deep.inside("vek.log")), record);
    EXPECT_EQ(list_dir(deep.inside("tmp")), std::vector<std::string>{});
}

TEST_F(Hardening, GarbageNulBytesAndAHundredMegabyteLineInTheTemporaryLog)
{
    using namespace std::string_literals;
    {
        std::ofstream out(dir / "stderr", std::ios::binary);
        std::mt19937 gen(5);
        std::string garbage(1 << 20, '\0');
        for (char& c : garbage) {
            c = static_cast<char>(gen() & 0xff);
            if (c == 'S' || c == 's' || c == 'R' || c == 'r' || c == 'B')
                c = '.';  // so that no header or byte count forms by chance
        }
        out << garbage << "\n";
        // A NUL ends what a chunk says: the name is "g", and the rate is not read.
        out << "Sending: g\0hidden\nBytes Sent: 12\0 BPS:99\n"s;
        out << std::string(65536, '\0') << "\n";
        out << "Sending: after nul\r\nBytes Sent: 5 BPS:77\r\n";
        // One line of 100 MB without a line end. A header deep inside it takes
        // the rest of the line as its name (kept only up to a bound), so
        // neither its count nor the last header counts.
        const std::string xs(255 * 1000, 'x');
        for (int i = 0; i < 200; ++i)
            out << xs;
        out << whole_chunk("Sending: deep") << whole_chunk("Bytes Sent: 3 BPS:4444");
        for (int i = 0; i < 192; ++i)
            out << xs;
        out << whole_chunk("Sending: never") << "Bytes Sent: 1 BPS:1";
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

TEST_F(Hardening, TransferLogThatCannotBeWritten)
{
    const std::string text = "Sending: a\nBytes Sent: 9 BPS:8\nSending: b\nBytes Sent: 9 BPS:8\n";
    write_file(dir / "stderr", text);
    env["FAKE_STDERR_FILE"] = dir / "stderr";
    mkdir((dir / "adir").c_str(), 0755);
    write_file(dir / "file", "keep");
    write_file(dir / "readonly", "keep", 0444);
    unprivileged();
    // Said once, before the transfer, which runs all the same; nothing is
    // left behind.
    for (const std::string& veklog : {dir / "adir", dir / "file/sub", dir / "readonly"}) {
        env["VEKLOG"] = veklog;
        std::remove((dir / "sz.args").c_str());
        RunResult r = vek({"sz", "a", "b"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "Fatal! Can't open veklog " + veklog + "!\n");
        EXPECT_TRUE(ran("sz"));
        EXPECT_EQ(leftovers(), std::vector<std::string>{}) << veklog;
    }
    EXPECT_EQ(read_file(dir / "file"), "keep");
    EXPECT_EQ(read_file(dir / "readonly"), "keep");
    EXPECT_EQ(list_dir(dir / "adir"), std::vector<std::string>{});

    // Opens, but takes nothing: each record's failure is said.
    env["VEKLOG"] = "/dev/full";
    RunResult r = vek({"sz", "a", "b"});
    EXPECT_EQ(r.status, 0);
    const std::string line = "Error! Can't write veklog /dev/full: No space left on device\n";
    EXPECT_EQ(r.err, line + line);

    // Takes part of a record, then nothing: a file size limit 10 bytes past
    // what the log holds, with SIGXFSZ ignored so that writes come back short.
    env["VEKLOG"] = dir / "full.log";
    write_file(env["VEKLOG"], std::string(100, '.'));
    r = run_program({"/bin/sh", "-c", "trap '' XFSZ; exec prlimit --fsize=110 \"$0\" sz a b", program()},
                    options());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error! Short write to veklog " + env["VEKLOG"] + " (10 of " +
                         std::to_string(sent("a", 8).size()) + " bytes)\n" + "Error! Can't write veklog " +
                         env["VEKLOG"] + ": File too large\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(Hardening, TemporaryDirectoryThatCannotHoldFilesStopsOnlyTheCommand)
{
    write_file(dir / "file", "keep");
    mkdir((dir / "readonly").c_str(), 0555);
    unprivileged();
    env["VEKLOG"] = dir / "vek.log";
    for (const std::string& tmp : {dir / "file/sub", dir / "readonly"}) {
        env["TMP"] = tmp;
        RunResult r = vek({"sz", "a"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.err.ends_with("Fatal! Can't open " + tmp + "/.vek.tmp!\n")) << r.err;
        EXPECT_FALSE(ran("sz"));
        EXPECT_FALSE(file_exists(dir / "vek.log"));
    }
    EXPECT_EQ(read_file(dir / "file"), "keep");
}

TEST_F(Hardening, RelativeTemporaryDirectoryWithBlanksAndShellCharacters)
{
    const std::string odd = "a b$(touch pwned)`touch pwned`';\"\\ &|*\n<x>";
    const std::string work = dir / "work", tmp = work + "/" + odd;
    mkdir(tmp.c_str(), 0755);
    mkdir((work + "/in").c_str(), 0755);
    env["TMP"] = odd;
    env["VEKLOG"] = dir / "vek.log";
    // A send, a batch receive, and a single receive, which runs elsewhere but
    // must write the log where the conversion reads it.
    const std::vector<std::vector<std::string>> runs = {{"sz", "a"}, {"rz"}, {"rz", "in/x.zip"}};
    for (const auto& args : runs) {
        const std::string header = args[0] == "sz" ? "Sending: a" : "Receiving: a";
        env["FAKE_STDERR"] = header + "\\nBytes Sent: 9 BPS:8\\n";
        env["FAKE_CREATE"] = "a";
        RunResult r = vek(args);
        EXPECT_EQ(r.status, 0) << args.size();
        EXPECT_EQ(r.err, "") << args.size();
    }
    EXPECT_TRUE(recorded("sz.err").starts_with(tmp + "/.vek.tmp.")) << recorded("sz.err");
    EXPECT_TRUE(recorded("rz.err").starts_with(tmp + "/.vek.tmp.")) << recorded("rz.err");
    EXPECT_EQ(recorded("rz.cwd"), work + "/in\n");
    const std::string record = sent("a", 8), received = "R" + record.substr(1);
    EXPECT_EQ(read_file(dir / "vek.log"), record + received + received);
    for (const std::string& where : {dir.path(), work, work + "/in", tmp})
        EXPECT_FALSE(file_exists(where + "/pwned")) << where;
    EXPECT_EQ(list_dir(tmp), std::vector<std::string>{});
}

}  // namespace
