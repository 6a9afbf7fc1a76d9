// The line harness on its own, without the program: a file crosses each kind
// of line whole between the bare commands, and the middle codes and stops as
// asked, so that a failure in a later test of the program on such a line is
// the program's and not the harness's. Then the program on each kind of line:
// transfers that leave the line as found, and stops that end it within
// seconds however the line behaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "fixtures.h"
#include "lines.h"
#include "records.h"

namespace {

struct LineCase {
    const char* label;
    LineKind kind;
    bool send_on_line;  // sz on the line and rz in the middle, or the other way round
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

class BareCommands : public RealPair, public testing::WithParamInterface<LineCase> {};

INSTANTIATE_TEST_SUITE_P(Lines, BareCommands,
                         testing::Values(LineCase{"SendOnPty", LineKind::pty, true},
                                         LineCase{"ReceiveOnPty", LineKind::pty, false},
                                         LineCase{"SendOnSocket", LineKind::socket, true}),
                         [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.label); });

TEST_P(BareCommands, FileArrivesWhole)
{
    const TimeLimit limit(10);
    const LineCase& c = GetParam();
    const std::string data = random_bytes(200 << 10, 1);
    put("a.bin", data);
    PairSide send = bare("send", "sz -brNvv", {"a.bin"}), receive = bare("recv", "rz -bpRvv");
    send.opts.timeout_seconds = receive.opts.timeout_seconds = 5;
    PairSide& on_line = c.send_on_line ? send : receive;
    PairSide& peer = c.send_on_line ? receive : send;

    const LineRun r = run_on_line(c.kind, on_line, peer);
    for (const RunResult* side : {&r.program, &r.middle.peer}) {
        EXPECT_FALSE(side->timed_out) << side->err;
        EXPECT_EQ(side->status, 0) << side->err;
    }
    EXPECT_FALSE(r.middle.timed_out);
    EXPECT_TRUE(r.middle.line_closed);
    EXPECT_EQ(arrived_whole(), std::vector<std::string>{"a.bin"});
    // The data went the way the case says: most of it from the line, or to it.
    EXPECT_GT(c.send_on_line ? r.middle.from_line : r.middle.to_line, data.size());
    // sz's closing "OO" comes last. On a pty, sz's own flush as it ends
    // (TCIOFLUSH) drops them in most runs, so only a socket is sure to carry them.
    if (c.send_on_line && c.kind != LineKind::pty) {
        EXPECT_TRUE(r.middle.tail.ends_with("OO")) << testing::PrintToString(r.middle.tail);
    }
}

// The middle's own coding, through a socket line, in both directions at once:
// what each side gets it writes to its standard error.
TEST(LinesMiddle, CodesAndStopsAsAsked)
{
    const TimeLimit limit(10);
    struct Case {
        const char* label;
        MiddleOptions options;
        const char *line_side, *peer_side;
        std::string line_got, peer_got, tail;
    } cases[] = {
        {"plain", {}, "printf 'a\\377\\377b'; head -c 3 >&2", "printf 'x\\377y'; cat >&2", "x\xffy",
         "a\xff\xff" "b", "a\xff\xff" "b"},
        // IAC IAC, WILL 1, SB 24 1 IAC IAC IAC SE, NOP, DO 255.
        {"telnet", {true},
         "printf 'a\\377\\377b\\377\\373\\001c\\377\\372\\030\\001\\377\\377\\377\\360d\\377\\361e\\377\\375\\377f';"
         " head -c 4 >&2",
         "printf 'x\\377y'; cat >&2", "x\xff\xffy", "a\xff" "bcdef",
         "a\xff\xff" "b\xff\xfb\x01" "c\xff\xfa\x18\x01\xff\xff\xff\xf0" "d\xff\xf1" "e\xff\xfd\xff" "f"},
        {"read limit", {false, 2}, "printf abcdef", "head -c 2 >&2", "", "ab", "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RunOptions opts{base_env(), "", 5, {}};
        const LineRun r = run_on_line(LineKind::socket, {{"/bin/sh", "-c", c.line_side}, opts},
                                      {{"/bin/sh", "-c", c.peer_side}, opts}, c.options);
        EXPECT_EQ(r.program.status, 0);
        EXPECT_EQ(r.middle.peer.status, 0);
        EXPECT_FALSE(r.middle.timed_out);
        EXPECT_EQ(r.program.err, c.line_got);
        EXPECT_EQ(r.middle.peer.err, c.peer_got);
        EXPECT_EQ(r.middle.tail, c.tail);
    }
}

// --- The program on a line -----------------------------------------------

// How a ZMODEM header begins: the user's terminal starts its side of a
// transfer on seeing the program's side begin, so that nothing reaches a pty
// before the program has made it raw (a cooked pty would echo it back).
const std::string zmodem_start = "**\x18" "B";

// The program on the line and the bare command in the middle: it sends `name`
// from send/ to a bare rz in recv/ (a download), or receives it in recv/
// from a bare sz in send/ (an upload). Its transfer log is "log".
class OnLine : public RealPair {
protected:
    std::pair<PairSide, PairSide> sides(bool download, const std::string& name, std::vector<std::string> args,
                                        int seconds)
    {
        args.insert(args.begin(), download ? "sz" : "rz");
        if (download)
            args.push_back(name);
        PairSide program = vek(download ? "send" : "recv", "log", args);
        PairSide peer = download ? bare("recv", "rz -bpRvv") : bare("send", "sz -brNvv", {name});
        program.opts.timeout_seconds = peer.opts.timeout_seconds = seconds;
        return {program, peer};
    }
};

struct TransferCase {
    const char* label;
    LineKind kind;
    bool telnet;
    bool download;
    bool verbose;
    int runs;
};

void PrintTo(const TransferCase& c, std::ostream* os) { *os << c.label; }

class Transfers : public OnLine, public testing::WithParamInterface<TransferCase> {};

INSTANTIATE_TEST_SUITE_P(
    Lines, Transfers,
    testing::Values(
        // Bare sz on a pty loses its closing "OO" in most runs (BareCommands):
        // through the program it must arrive in every one.
        TransferCase{"DownloadOnPty", LineKind::pty, false, true, false, 10},
        TransferCase{"DownloadOnPtyVerbose", LineKind::pty, false, true, true, 3},
        // Never -v on an upload: its lines come before the transfer, and a
        // waiting sz takes the G of "DEBUG" for a YMODEM-g receiver.
        TransferCase{"UploadOnPty", LineKind::pty, false, false, false, 3},
        TransferCase{"DownloadOnNonblockingSocket", LineKind::nonblocking_socket, false, true, false, 1},
        TransferCase{"UploadOnNonblockingSocket", LineKind::nonblocking_socket, false, false, false, 1},
        TransferCase{"DownloadOnNonblockingSocketTelnet", LineKind::nonblocking_socket, true, true, true, 1},
        TransferCase{"UploadOnNonblockingSocketTelnet", LineKind::nonblocking_socket, true, false, false, 1}),
    [](const testing::TestParamInfo<TransferCase>& info) { return std::string(info.param.label); });

TEST_P(Transfers, FileArrivesWholeAndTheLineIsLeftAsFound)
{
    const TimeLimit limit(20);
    const TransferCase& c = GetParam();
    put("a.bin", random_bytes(1 << 20, 4));
    std::vector<std::string> args;
    if (c.telnet)
        args.push_back("--telnet");
    if (c.verbose)
        args.push_back("-v");
    const auto [program, peer] = sides(c.download, "a.bin", args, 5);
    // What the line carries last: sz's "OO", then the program's own line,
    // written once a terminal is cooked again.
    std::string last = c.download ? "OO" : "";
    if (c.verbose)
        last += c.kind == LineKind::pty ? "DEBUG: File transfer complete.\r\n" : "DEBUG: File transfer complete.\n";
    for (int run = 0; run < c.runs; ++run) {
        SCOPED_TRACE(run);
        std::filesystem::remove(root / "recv/a.bin");
        std::filesystem::remove(root / "log");
        const LineRun r = run_on_line(c.kind, program, peer, {c.telnet, UINT64_MAX, zmodem_start});
        EXPECT_EQ(r.program.status, 0) << r.program.err;
        EXPECT_EQ(r.middle.peer.status, 0) << r.middle.peer.err;
        EXPECT_EQ(arrived_whole(), std::vector<std::string>{"a.bin"});
        EXPECT_EQ(log("log"), c.download ? sent("a.bin") : received("a.bin"));
        EXPECT_TRUE(r.middle.tail.ends_with(last)) << testing::PrintToString(r.middle.tail);
        EXPECT_EQ(r.mode_after, r.mode_at_start);
        EXPECT_EQ(r.line_flags & O_NONBLOCK, c.kind == LineKind::nonblocking_socket ? O_NONBLOCK : 0);
        EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    }
}

struct StopCase {
    const char* label;
    LineKind kind;
    bool telnet;
    bool download;
    int sig;
    bool bystander;  // the program is exec'd by a shell that left a process running in its group
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.label; }

class Stops : public OnLine, public testing::WithParamInterface<StopCase> {};

INSTANTIATE_TEST_SUITE_P(Lines, Stops,
                         testing::Values(StopCase{"Socket", LineKind::socket, false, true, SIGTERM, false},
                                         StopCase{"SocketTelnet", LineKind::socket, true, true, SIGTERM, false},
                                         StopCase{"Pty", LineKind::pty, false, true, SIGTERM, false},
                                         StopCase{"PtyHangUpInUpload", LineKind::pty, false, false, SIGHUP, false},
                                         StopCase{"SocketBystander", LineKind::socket, false, true, SIGTERM, true}),
                         [](const testing::TestParamInfo<StopCase>& info) { return std::string(info.param.label); });

// A download to a user who stopped reading after 2 MB (or an upload under
// way), stopped by a signal to the program alone.
TEST_P(Stops, EndWithinSecondsWhateverTheLineDoes)
{
    const TimeLimit limit(15);
    const StopCase& c = GetParam();
    constexpr uint64_t stalled_at = 2 << 20;
    put("big.bin", random_bytes(20 << 20, 5));
    auto [program, peer] = sides(c.download, "big.bin", c.telnet ? std::vector<std::string>{"--telnet"}
                                                                  : std::vector<std::string>{}, 12);
    if (c.bystander)
        program.argv.insert(program.argv.begin(),
                            {"/bin/sh", "-c", "sleep 30 </dev/null >/dev/null 2>&1 & echo $! >bystander.pid; exec \"$@\"",
                             "sh"});
    LineProgram running(c.kind, program.argv, program.opts);
    Middle middle(running.line(), peer, {c.telnet, stalled_at, zmodem_start});
    ASSERT_TRUE(eventually([&] { return std::max(middle.from_line(), middle.to_line()) >= stalled_at; }, 8));
    // Time for the line to fill, so that the command is blocked on it, as on
    // a user who stopped reading a while ago.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (c.kind == LineKind::pty) {  // raw meanwhile, so that the check below can see a mode not put back
        EXPECT_NE(running.mode(), running.mode_at_start());
    }

    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(running.pid(), c.sig), 0);
    const RunResult r = running.wait();
    const double latency = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    std::printf("stop latency, %s: %.2f s\n", c.label, latency);
    EXPECT_LT(latency, 5.0);
    EXPECT_EQ(r.status, 128 + c.sig) << r.err;
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(running.mode(), running.mode_at_start());
    if (c.bystander) {
        const pid_t bystander = std::stoi(read_file(root / "send/bystander.pid"));
        EXPECT_TRUE(running_process(bystander));
        kill(bystander, SIGKILL);
    }
}

}  // namespace

namespace {

// Once the command has ended, the line gets what it takes while it takes
// something: a user who cancels a download and then reads nothing more is
// left five seconds after the line last took a byte, or a second after a
// stop; a slow reader that keeps taking gets every byte, however long that takes.
struct AfterEndCase {
    const char* label;
    LineKind kind;
    bool telnet;
    int stop;  // a signal sent to the program once the line stalled, or 0
};

void PrintTo(const AfterEndCase& c, std::ostream* os) { *os << c.label; }

class AfterTheEnd : public OnLine, public testing::WithParamInterface<AfterEndCase> {};

INSTANTIATE_TEST_SUITE_P(Lines, AfterTheEnd,
                         testing::Values(AfterEndCase{"Pty", LineKind::pty, false, 0},
                                         AfterEndCase{"SocketTelnet", LineKind::socket, true, 0},
                                         AfterEndCase{"SocketTelnetStopped", LineKind::socket, true, SIGTERM}),
                         [](const testing::TestParamInfo<AfterEndCase>& info) { return std::string(info.param.label); });

TEST_P(AfterTheEnd, UserWhoCancelsAndStopsReadingIsLeft)
{
    const TimeLimit limit(20);
    const AfterEndCase& c = GetParam();
    put("big.bin", random_bytes(20 << 20, 6));
    auto [program, peer] = sides(true, "big.bin", c.telnet ? std::vector<std::string>{"--telnet"}
                                                            : std::vector<std::string>{}, 15);
    LineProgram running(c.kind, program.argv, program.opts);
    // A slow line, so that the program holds what the line has not taken.
    Middle middle(running.line(), peer, {c.telnet, UINT64_MAX, zmodem_start, 5});
    ASSERT_TRUE(eventually([&] { return middle.from_line() >= (1 << 20); }, 8));
    const pid_t sz = child_of(running.pid());
    ASSERT_GT(sz, 0);
    // The user cancels; once sz has ended of it, the terminal reads no more.
    ASSERT_EQ(write(running.line(), "\x18\x18\x18\x18\x18\x18\x18\x18", 8), 8);
    ASSERT_TRUE(eventually([&] { return !running_process(sz); }, 5));
    middle.stop_reading();
    const auto stalled = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (c.stop)
        kill(running.pid(), c.stop);
    const RunResult r = running.wait();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - stalled).count();
    std::printf("ended after the line stalled, %s: %.2f s\n", c.label, took);
    EXPECT_GT(took, c.stop ? 1.0 : 4.0);  // else the program held nothing back, and the test shows nothing
    EXPECT_LT(took, c.stop ? 3.0 : 7.0);
    EXPECT_EQ(r.status, c.stop ? 128 + c.stop : 0) << r.err;
    EXPECT_EQ(log("log"), "");
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(running.mode(), running.mode_at_start());
}

// A slow reader gets every byte however long it takes (16 KiB, then a pause
// of a second and a half, until all came); a process the command left
// behind, holding its output, holds the run only while the line is idle.
TEST_F(OnLine, AfterTheEndEveryByteReachesAReaderThatTakesIt)
{
    const TimeLimit limit(30);
    constexpr size_t size = 64 << 10;
    const struct {
        const char* label;
        const char* sz;
        int pause_ms;
        double at_least, at_most;
    } cases[] = {
        {"slow reader", "head -c 65536 /dev/zero", 1500, 5.0, 14.0},
        {"a leftover holds the output", "sleep 30 & head -c 65536 /dev/zero", 0, 4.0, 7.0},
    };
    mkdir((root / "bin").c_str(), 0755);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(root / "bin/sz", std::string("#!/bin/sh\n") + c.sz + "\n", 0755);
        PairSide program = vek("send", "log", {"sz", "x"});
        program.opts.env["PATH"] = root / "bin:" + program.opts.env["PATH"];
        program.opts.timeout_seconds = 14;
        LineProgram running(LineKind::pty, program.argv, program.opts);
        fcntl(running.line(), F_SETFL, fcntl(running.line(), F_GETFL) | O_NONBLOCK);
        size_t got = 0;
        const auto started = std::chrono::steady_clock::now();
        for (const Deadline deadline = deadline_after(14); got < size && !deadline.passed();) {
            char buf[16 << 10];
            for (size_t turn = 0; turn < sizeof buf;) {
                const ssize_t n = read(running.line(), buf, sizeof buf - turn);
                if (n <= 0)
                    break;
                turn += static_cast<size_t>(n);
                got += static_cast<size_t>(n);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max(c.pause_ms, 10)));
        }
        EXPECT_EQ(got, size);
        EXPECT_EQ(running.wait().status, 0);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("%s: %zu bytes, the run over after %.2f s\n", c.label, got, took);
        EXPECT_GT(took, c.at_least);  // else the bound was never in play
        EXPECT_LT(took, c.at_most);
        EXPECT_EQ(running.mode(), running.mode_at_start());
    }
}

// A terminal that the program cannot open anew (another user's) is written
// through the host's own description: made non-blocking meanwhile, so that
// a user who reads nothing still cannot hold the run, and put back after.
class OthersTerminal : public FakeTools {};

TEST_F(OthersTerminal, UserWhoReadsNothingIsLeftAndTheFlagsPutBack)
{
    const TimeLimit limit(15);
    // The command ends at once and leaves behind a writer of more than the
    // pty holds: only the line holds the run, whatever room the pipes have.
    write_file(dir / "bin/sz", "#!/bin/sh\nhead -c 300000 /dev/zero &\n", 0755);
    unprivileged();
    if (!uid)
        GTEST_SKIP() << "needs root, to run the program as another user than the terminal's";
    RunOptions opts = options();
    opts.timeout_seconds = 12;
    LineProgram running(LineKind::pty, {program(), "sz", "x"}, opts);
    const auto started = std::chrono::steady_clock::now();
    const RunResult r = running.wait();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(took, 7.0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(running.line_flags() & O_NONBLOCK, 0);
    EXPECT_EQ(running.mode(), running.mode_at_start());
}

}  // namespace
