#include "telnet.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <thread>

#include "relay.h"
#include "support.h"

namespace {

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += static_cast<char>(b);
    return s;
}

constexpr int IAC = 255, SE = 240, NOP = 241, GA = 249, SB = 250, WILL = 251, WONT = 252, DO = 253,
              DONT = 254;

std::string decode(TelnetDecoder& d, std::string in)
{
    in.resize(d.decode(in, in));  // in place, as the relay does
    return in;
}

std::string encode(const std::string& in)
{
    std::string out(2 * in.size(), '\0');
    out.resize(telnet_encode(in, out));
    return out;
}

// 0xFF-dense: every fourth byte, and a run of 10,000 in the middle.
std::string dense_data(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(i % 4 == 3 ? 0xff : rng() & 0xff);
    s.replace(size / 2, 10000, 10000, '\xff');
    return s;
}

TEST(TelnetDecoder, RemovesEveryCommandAtEverySplitPoint)
{
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {bytes({'a', IAC, IAC, 'b'}), bytes({'a', IAC, 'b'})},
        {bytes({IAC, IAC, IAC, IAC, IAC, DO, 1, IAC, IAC}), bytes({IAC, IAC, IAC})},
        // The option byte goes whatever it is, 0xFF included.
        {bytes({'a', IAC, WILL, 1, 'b', IAC, WONT, 3, IAC, DO, 24, IAC, DONT, IAC, 'c'}), "abc"},
        {bytes({'a', IAC, SB, 24, 1, IAC, SE, 'b'}), "ab"},
        {bytes({'a', IAC, SB, 24, IAC, IAC, SE, 'x', IAC, SE, 'b'}), "ab"},
        // A subnegotiation cut short by another command ends there.
        {bytes({IAC, SB, 24, 'x', IAC, NOP, 'd'}), "d"},
        {bytes({IAC, SB, 24, 'x', IAC, DO, 1, 'd'}), "d"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (int c = SE; c <= GA; ++c)  // SE alone, NOP, DM, BRK, IP, AO, AYT, EC, EL, GA
        all.push_back({bytes({'a', IAC, c, 'b'}), "ab"});

    for (const Case& c : all) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        for (size_t cut = 0; cut <= c.in.size(); ++cut) {
            TelnetDecoder d;
            std::string out = decode(d, c.in.substr(0, cut));
            out += decode(d, c.in.substr(cut));
            EXPECT_EQ(out, c.out) << "cut at " << cut;
            EXPECT_EQ(decode(d, "z"), "z") << "the decoder is back at data";
        }
        TelnetDecoder d;
        std::string out;
        for (char b : c.in)
            out += decode(d, std::string(1, b));
        EXPECT_EQ(out, c.out) << "byte by byte";
    }
}

TEST(TelnetDecoder, StreamMayEndInsideACommand)
{
    for (const std::string& tail : {bytes({IAC}), bytes({IAC, DO}), bytes({IAC, SB, 24, 'x'}),
                                    bytes({IAC, SB, 24, IAC})}) {
        TelnetDecoder d;
        EXPECT_EQ(decode(d, "ok" + tail), "ok");
        EXPECT_EQ(decode(d, "z"), "") << "the next byte is still part of the command";
    }
}

TEST(TelnetEncoder, DoublesEveryFFAndRoundTripsExactly)
{
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode(bytes({'a', IAC, 'b', IAC, IAC})), bytes({'a', IAC, IAC, 'b', IAC, IAC, IAC, IAC}));

    const std::string data = dense_data(1 << 20, 1);
    const std::string coded = encode(data);
    EXPECT_EQ(coded.size(), data.size() + static_cast<size_t>(std::count(data.begin(), data.end(), '\xff')));
    std::mt19937 rng(2);
    TelnetDecoder d;
    std::string back;
    for (size_t at = 0; at < coded.size();) {
        const size_t n = std::min<size_t>(rng() % 5000, coded.size() - at);
        back += decode(d, coded.substr(at, n));
        at += n;
    }
    EXPECT_TRUE(back == data);
}

// A connection as the host hands it over (two pipes, or two socket pairs).
// The client's ends are closed by pump() or by the test.
struct Line {
    UniqueFd from, to;          // the relay's: the connection's input and output
    int client_out, client_in;  // the client's: what it sends, what it receives
};

Line make_line(bool sockets)
{
    int a[2], b[2];
    if (sockets) {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a);
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b);
        return {UniqueFd(a[0]), UniqueFd(b[0]), a[1], b[1]};
    }
    pipe2(a, O_CLOEXEC);
    pipe2(b, O_CLOEXEC);
    return {UniqueFd(a[0]), UniqueFd(b[1]), a[1], b[0]};
}

int flags(const UniqueFd& fd) { return fcntl(fd.get(), F_GETFL); }

// Starts `argv` with the relay's pipes as its standard input and output.
pid_t spawn_behind(LineRelay& relay, std::vector<std::string> argv)
{
    std::vector<char*> av;
    for (std::string& a : argv)
        av.push_back(a.data());
    av.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(relay.child_stdin(), 0);
        dup2(relay.child_stdout(), 1);
        signal(SIGPIPE, SIG_DFL);
        execv(av[0], av.data());
        _exit(127);
    }
    relay.start();
    return pid;
}

// Its exit status, or 128 + the signal that ended it.
int reap(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// The client: reads its side to the end while it writes `data` (if any) and
// closes its sending end.
std::string client(int in, int out, const std::string* data)
{
    std::thread writer([&] {
        for (size_t at = 0; data && at < data->size();) {
            const ssize_t n = write(out, data->data() + at, data->size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        if (data)
            close(out);
    });
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    close(in);
    writer.join();
    return got;
}

// Both directions full at once, through `cat`: what the client sends (data
// doubled, with commands between) comes back as the data, doubled. A relay
// that let one direction wait on the other would stall here.
TEST(TelnetRelay, BothDirectionsBusyAtOnce)
{
    const TimeLimit limit(5);
    SignalHold hold;  // finish() lets a stop cut it short
    const std::string data = dense_data(4 << 20, 3);
    const std::string commands[] = {bytes({IAC, NOP}), bytes({IAC, 246}), bytes({IAC, DO, 1}),
                                    bytes({IAC, WILL, 3}), bytes({IAC, SB, 24, 1, IAC, SE})};
    std::string sent;
    for (size_t i = 0; i < data.size(); i += 4096)
        sent += commands[(i / 4096) % 5] + encode(data.substr(i, 4096));

    for (bool sockets : {false, true}) {
        SCOPED_TRACE(sockets ? "socket pairs" : "pipes");
        Line line = make_line(sockets);
        const int from_flags = flags(line.from), to_flags = flags(line.to);
        LineRelay relay(LineRelay::Coding::telnet, true, line.from.get(), line.to.get());
        ASSERT_TRUE(relay.ok());
        const pid_t pid = spawn_behind(relay, {"/bin/cat"});
        std::string got;
        // The client sends all, then closes its side: cat's input ends with it.
        std::thread user([&] { got = client(line.client_in, line.client_out, &sent); });
        EXPECT_EQ(reap(pid), 0);
        relay.finish(hold);
        EXPECT_EQ(flags(line.from), from_flags);
        EXPECT_EQ(flags(line.to), to_flags);
        line.to.reset();  // the host's copy: the client sees the end
        user.join();
        EXPECT_EQ(got.size(), encode(data).size());
        EXPECT_TRUE(got == encode(data));
    }
}

// The command's last output reaches the client before finish() returns, even
// when the client stalls (at no cost in CPU) until the command has ended, and
// never closes its side.
TEST(TelnetRelay, FinishDeliversEverythingAndStallsCostNothing)
{
    const TimeLimit limit(10);
    SignalHold hold;  // finish() lets a stop cut it short
    Line line = make_line(false);
    LineRelay relay(LineRelay::Coding::telnet, true, line.from.get(), line.to.get());
    // More than the line (a 64 KiB pipe) holds doubled, less than it and the
    // command's output pipe: the command ends while the client stalls.
    const pid_t pid =
        spawn_behind(relay, {"/bin/sh", "-c", "head -c 100000 /dev/zero | tr '\\000' '\\377'"});

    auto cpu = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
    };
    const long before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpu() - before, 30000) << "microseconds of CPU while the client stalled";

    EXPECT_EQ(reap(pid), 0);
    std::string got;
    std::thread user([&] { got = client(line.client_in, -1, nullptr); });
    relay.finish(hold);
    line.to.reset();
    user.join();
    close(line.client_out);
    EXPECT_EQ(got.size(), 200000u);
    EXPECT_EQ(got.find_first_not_of('\xff'), std::string::npos);
}

// A connection that closes or fails cuts the command off as a dropped line
// would: its input ends, and output it writes on meets a broken pipe. A
// failed write costs the relay's process nothing.
TEST(TelnetRelay, LostConnectionEndsTheCommand)
{
    const TimeLimit limit(3);
    SignalHold hold;  // finish() lets a stop cut it short
    struct Case {
        const char* what;
        std::vector<std::string> command;
        bool client_stops_reading;
        int status;
    } cases[] = {
        {"the client stops reading", {"/usr/bin/yes"}, true, 128 + SIGPIPE},
        {"the client stops sending", {"/bin/cat"}, false, 0},
    };
    // The relay's failed write must not end the process.
    const auto old = signal(SIGPIPE, SIG_DFL);
    for (const Case& c : cases) {
        for (bool sockets : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (sockets ? ", socket pairs" : ", pipes"));
            Line line = make_line(sockets);
            LineRelay relay(LineRelay::Coding::telnet, true, line.from.get(), line.to.get());
            const pid_t pid = spawn_behind(relay, c.command);
            close(c.client_stops_reading ? line.client_in : line.client_out);
            EXPECT_EQ(reap(pid), c.status);
            relay.finish(hold);
            close(c.client_stops_reading ? line.client_out : line.client_in);
        }
    }
    signal(SIGPIPE, old);
}

}  // namespace
