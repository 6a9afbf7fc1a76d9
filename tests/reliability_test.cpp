// Runs that end early, a capture that must never reach the disk, and names
// chosen by the peer, all with the real sz and rz. Whatever happens, a
// transfer log may name only files that this run moved whole, and the
// temporary directory is left as it was found.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <random>
#include <set>
#include <thread>

#include "pair.h"
#include "support.h"

namespace {

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 4) {
        const uint32_t w = gen();
        for (size_t k = 0; k < 4 && i + k < n; ++k)
            s[i + k] = static_cast<char>(w >> (8 * k));
    }
    return s;
}

// Polls until `ready()` holds; false if it still does not after `seconds`.
template <class Ready>
bool eventually(Ready ready, int seconds = 30)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

long long size_of(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The state letters (ps's) of the live processes in process group `pgid`.
std::string group_states(pid_t pgid)
{
    std::string states;
    for (const std::string& pid : list_dir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat;
        try {
            stat = read_file("/proc/" + pid + "/stat");
        } catch (const std::exception&) {
            continue;  // gone meanwhile
        }
        const size_t paren = stat.rfind(')');  // the command name may hold anything
        char state = 0;
        int ppid = 0, pgrp = 0;
        if (paren != std::string::npos &&
            std::sscanf(stat.c_str() + paren + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
            pgrp == pgid && state != 'Z')
            states += state;
    }
    return states;
}

// The names of a transfer log's records, in order; a line that is no record
// of direction `dir` fails the test.
std::vector<std::string> record_names(const std::string& log, char dir)
{
    static const std::string head = "  99999 38400 bps ";
    static const std::string mid = " cps   0 errors    66 1024 ";
    static const std::string tail = " -1";
    std::vector<std::string> names;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        at = end + 1;
        const size_t m = line.find(mid);
        const bool ok = line.size() >= 1 + head.size() && line[0] == dir &&
                        line.compare(1, head.size(), head) == 0 && m != std::string::npos &&
                        line.size() >= m + mid.size() + tail.size() &&
                        line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
        EXPECT_TRUE(ok) << "not a record: " << testing::PrintToString(line);
        if (ok)
            names.push_back(line.substr(m + mid.size(), line.size() - m - mid.size() - tail.size()));
    }
    return names;
}

class Reliability : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* d : {"send", "recv", "tmp"})
            mkdir((root / d).c_str(), 0755);
    }

    PairSide side(const std::string& cwd, std::vector<std::string> argv)
    {
        PairSide p{std::move(argv), {}};
        p.opts.env = base_env();
        p.opts.env["TMP"] = root / "tmp";  // shared, as by the nodes of one host
        p.opts.cwd = root / cwd;
        p.opts.timeout_seconds = 60;
        return p;
    }

    PairSide vek(const std::string& cwd, const std::string& veklog, std::vector<std::string> args)
    {
        args.insert(args.begin(), vek_binary());
        PairSide p = side(cwd, std::move(args));
        p.opts.env["VEKLOG"] = root / veklog;
        return p;
    }

    // The command that vek would run, run by the shell without it.
    PairSide bare(const std::string& cwd, const std::string& command, const std::vector<std::string>& names = {})
    {
        std::vector<std::string> argv{"/bin/sh", "-c", "exec " + command + " \"$@\"", "sh"};
        argv.insert(argv.end(), names.begin(), names.end());
        return side(cwd, std::move(argv));
    }

    void put(const std::string& name, const std::string& data)
    {
        sent[name] = data;
        write_file(root / ("send/" + name), data);
    }

    std::string log(const std::string& name)
    {
        return file_exists(root / name) ? read_file(root / name) : "";
    }

    // Received files identical to what was sent, in name order.
    std::vector<std::string> arrived_whole()
    {
        std::vector<std::string> whole;
        for (const std::string& name : list_dir(root / "recv"))
            if (sent.count(name) && read_file(root / ("recv/" + name)) == sent[name])
                whole.push_back(name);
        return whole;
    }

    TempDir root;
    std::map<std::string, std::string> sent;
};

// --- Signals while the second of three files is under way -----------------

struct SignalCase {
    const char* label;
    int target;  // 0: the sending side, 1: the receiving side
    bool whole_group;
    int sig;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.label; }

class Signals : public Reliability, public testing::WithParamInterface<SignalCase> {
protected:
    static constexpr size_t big = size_t{64} << 20;

    void put_batch()
    {
        static const std::string two = random_bytes(big, 2);
        put("1.bin", random_bytes(70000, 1));
        put("2.bin", two);
        put("3.bin", random_bytes(70000, 3));
    }

    // Once file 1 is logged as sent and file 2 is arriving, the side that is
    // not the target is stopped, so that file 2 cannot finish before the
    // target has its signal.
    void stop_peer_mid_transfer(const RunningPair& pair, int peer)
    {
        ASSERT_TRUE(eventually([&] {
            return log("send.log").find(" 1.bin -1\n") != std::string::npos && size_of(root / "recv/2.bin") > 0;
        })) << "file 2 never got under way";
        kill(-pair.pid(peer), SIGSTOP);
        ASSERT_TRUE(eventually([&] {
            const std::string s = group_states(pair.pid(peer));
            return !s.empty() && s.find_first_not_of('T') == std::string::npos;
        }));
        ASSERT_LT(size_of(root / "recv/2.bin"), static_cast<long long>(big)) << "file 2 finished too soon";
    }
};

TEST_P(Signals, RecordsEveryWholeFileAndLeavesNothingBehind)
{
    const SignalCase& c = GetParam();
    put_batch();
    RunningPair pair(vek("send", "send.log", {"sz", "1.bin", "2.bin", "3.bin"}), vek("recv", "recv.log", {"rz"}));
    const int peer = 1 - c.target;
    stop_peer_mid_transfer(pair, peer);
    if (HasFatalFailure())
        return;
    kill(c.whole_group ? -pair.pid(c.target) : pair.pid(c.target), c.sig);
    kill(-pair.pid(peer), SIGCONT);
    const auto [s, r] = pair.wait();

    const RunResult& target = c.target == 0 ? s : r;
    const RunResult& other = c.target == 0 ? r : s;
    EXPECT_FALSE(s.timed_out);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(target.status, 128 + c.sig) << target.err;
    EXPECT_EQ(target.err, "");
    if (!c.whole_group) {
        EXPECT_EQ(other.status, 0) << other.err;
    }

    // Signalled alone, vek lets its command finish the batch; signalled with
    // it, the command ends during file 2.
    const std::vector<std::string> whole = arrived_whole();
    const std::vector<std::string> expected =
        c.whole_group ? std::vector<std::string>{"1.bin"} : std::vector<std::string>{"1.bin", "2.bin", "3.bin"};
    EXPECT_EQ(whole, expected);
    EXPECT_EQ(record_names(log("send.log"), 'S'), whole);
    EXPECT_EQ(record_names(log("recv.log"), 'R'), whole);
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(group_states(pair.pid(0)), "") << "left running on the sending side";
    EXPECT_EQ(group_states(pair.pid(1)), "") << "left running on the receiving side";
}

INSTANTIATE_TEST_SUITE_P(
    MidTransfer, Signals,
    testing::Values(SignalCase{"SenderGroupHangUp", 0, true, SIGHUP},
                    SignalCase{"SenderGroupTerminate", 0, true, SIGTERM},
                    SignalCase{"SendingVekHangUp", 0, false, SIGHUP},
                    SignalCase{"SendingVekTerminate", 0, false, SIGTERM},
                    SignalCase{"ReceiverGroupHangUp", 1, true, SIGHUP},
                    SignalCase{"ReceiverGroupTerminate", 1, true, SIGTERM},
                    SignalCase{"ReceivingVekHangUp", 1, false, SIGHUP},
                    SignalCase{"ReceivingVekTerminate", 1, false, SIGTERM}),
    [](const testing::TestParamInfo<SignalCase>& info) { return std::string(info.param.label); });

// What cannot be caught cannot be held: the records written so far are all
// that stays.
TEST_F(Signals, KilledSenderKeepsTheRecordsAlreadyWritten)
{
    put_batch();
    RunningPair pair(vek("send", "send.log", {"sz", "1.bin", "2.bin", "3.bin"}), vek("recv", "recv.log", {"rz"}));
    stop_peer_mid_transfer(pair, 1);
    if (HasFatalFailure())
        return;
    kill(pair.pid(0), SIGKILL);
    kill(-pair.pid(1), SIGCONT);
    const auto [s, r] = pair.wait();
    EXPECT_EQ(s.status, 128 + SIGKILL);
    EXPECT_EQ(record_names(log("send.log"), 'S'), std::vector<std::string>{"1.bin"});
}

// --- The capture never reaches the disk ------------------------------------

TEST_F(Reliability, TemporaryDirectoryHoldsNoDataDuringATransfer)
{
    put("big.bin", random_bytes(size_t{100} << 20, 4));
    std::atomic<bool> done{false};
    long long blocks = 0;
    int samples_with_pipe = 0;
    std::set<std::string> strays;  // anything but the private pipes
    std::thread sampler([&] {
        while (!done) {
            bool pipe_seen = false;
            for (const std::string& name : list_dir(root / "tmp")) {
                struct stat st {};
                if (lstat((root / ("tmp/" + name)).c_str(), &st) != 0)
                    continue;  // removed meanwhile
                blocks += st.st_blocks;
                const bool ours = S_ISFIFO(st.st_mode) && (st.st_mode & 07777) == 0600 &&
                                  name.size() == 21 && name.compare(0, 9, ".vek.tmp.") == 0 &&
                                  name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                                         9) == std::string::npos;
                pipe_seen = pipe_seen || ours;
                if (!ours)
                    strays.insert(name);
            }
            samples_with_pipe += pipe_seen;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto [s, r] = run_pair(vek("send", "send.log", {"sz", "big.bin"}), vek("recv", "recv.log", {"rz"}));
    done = true;
    sampler.join();

    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(arrived_whole(), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(blocks, 0);
    EXPECT_GT(samples_with_pipe, 0);
    EXPECT_EQ(strays, std::set<std::string>{});
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

// --- Names that look like the stream's own words --------------------------

struct NameCase {
    const char* label;
    bool vek_sends;  // else vek receives
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class HostileNames : public Reliability, public testing::WithParamInterface<NameCase> {};

TEST_P(HostileNames, RecordsNameOnlyFilesThatWereMoved)
{
    const bool vek_sends = GetParam().vek_sends;
    // The header line of each long name is cut inside the name, and for the
    // longest the rest reads as a byte count, in either direction.
    const std::string long250 = std::string(246, 'L') + ".bin";
    const std::string long255 = std::string(244, 'M') + "xxBytes 1 2";
    const std::vector<std::string> names = {"a\rReceiving: forged.zip",
                                            "y\rBytes received: 1 BPS:1\rReceiving: ghost.zip",
                                            "b\rSending: forged.zip",
                                            "MyBytes.bin",
                                            "two\nlines",
                                            long250,
                                            long255};
    unsigned seed = 10;
    for (const std::string& name : names)
        put(name, random_bytes(3000, seed++));
    // Older files at the names the stream could be made to show: only a file
    // that this run wrote may be believed.
    for (const char* decoy : {"forged.zip", "ghost.zip", "a", "y", "b", "two", "lines"})
        write_file(root / ("recv/" + std::string(decoy)), "old");
    struct stat st {};
    stat((root / "recv/lines").c_str(), &st);
    ASSERT_TRUE(eventually([&] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
        return now.tv_sec > st.st_ctim.tv_sec;
    }, 5));

    std::vector<std::string> vek_args{"sz"};
    vek_args.insert(vek_args.end(), names.begin(), names.end());
    const auto [s, r] = vek_sends ? run_pair(vek("send", "veklog", vek_args), bare("recv", "rz -bpRvv"))
                                  : run_pair(bare("send", "sz -brNvv", names), vek("recv", "veklog", {"rz"}));
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(r.status, 0) << r.err;

    // lrzsz moves every one of them unchanged; the forged words show up in
    // its diagnostic stream, but only whole, ordinary names may be recorded.
    const std::vector<std::string> whole = arrived_whole();
    const std::vector<std::string> records = record_names(log("veklog"), vek_sends ? 'S' : 'R');
    for (const std::string& name : records)
        EXPECT_EQ(std::count(whole.begin(), whole.end(), name), 1)
            << "recorded but not moved: " << testing::PrintToString(name);
    EXPECT_EQ(records, (std::vector<std::string>{"MyBytes.bin", long250, long255}));
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(RealCommands, HostileNames,
                         testing::Values(NameCase{"BareSzIntoVekRz", false}, NameCase{"VekSzIntoBareRz", true}),
                         [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

}  // namespace
