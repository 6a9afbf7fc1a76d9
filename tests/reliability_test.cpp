// Runs that end early, a capture that must never reach the disk, and names
// chosen by the peer, all with the real sz and rz. Whatever happens, a
// transfer log may name only files that this run moved whole, and the
// temporary directory is left as it was found.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <sstream>
#include <tuple>

#include "fixtures.h"
#include "moved.h"

namespace {

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
        if (std::sscanf(stat.c_str() + paren + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && pgrp == pgid &&
            state != 'Z')
            states += state;
    }
    return states;
}

// The names of a transfer log's records, in order; a line that is no record
// of direction `dir` fails the test.
std::vector<std::string> record_names(const std::string& log, char dir)
{
    const std::regex record(dir + std::string("  99999 38400 bps [0-9]+ +cps   0 errors    66 1024 (.*) -1"));
    std::vector<std::string> names;
    std::istringstream in(log);
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, m, record))
            names.push_back(m[1]);
        else
            ADD_FAILURE() << "not a record: " << testing::PrintToString(line);
    }
    return names;
}

// --- Signals while the second of three files is under way -----------------

// Which side is signalled (0 sends, 1 receives), whether its whole process
// group or vek alone, and with what.
class Signals : public RealPair, public testing::WithParamInterface<std::tuple<int, bool, int, bool>> {};

TEST_P(Signals, RecordsEveryWholeFileAndLeavesNothingBehind)
{
    const TimeLimit limit(20);
    const auto [target, whole_group, sig, telnet] = GetParam();
    const int peer = 1 - target;
    constexpr size_t big = size_t{64} << 20;
    static const std::string two = random_bytes(big, 2);
    put("1.bin", random_bytes(70000, 1));
    put("2.bin", two);
    put("3.bin", random_bytes(70000, 3));
    // With --telnet both sides relay, and the relay must not hold a stop up.
    std::vector<std::string> sz{"sz", "1.bin", "2.bin", "3.bin"}, rz{"rz"};
    if (telnet) {
        sz.push_back("-t");
        rz.push_back("-t");
    }
    RunningPair pair(vek("send", "send.log", sz), vek("recv", "recv.log", rz));
    // Once file 1 is logged as sent and file 2 is arriving, the peer is
    // stopped, so that file 2 cannot finish before the target has its signal.
    struct stat st {};
    auto arriving = [&] { return stat((root / "recv/2.bin").c_str(), &st) == 0 && st.st_size > 0; };
    ASSERT_TRUE(eventually([&] { return log("send.log").find(" 1.bin -1\n") != std::string::npos && arriving(); }))
        << "file 2 never got under way";
    kill(-pair.pid(peer), SIGSTOP);
    ASSERT_TRUE(eventually([&] {
        const std::string s = group_states(pair.pid(peer));
        return !s.empty() && s.find_first_not_of('T') == std::string::npos;
    }));
    ASSERT_LT(arriving() ? st.st_size : 0, static_cast<off_t>(big)) << "file 2 finished too soon";
    kill(whole_group ? -pair.pid(target) : pair.pid(target), sig);
    kill(-pair.pid(peer), SIGCONT);
    // A stop means stop: the signalled side has ended (is left to be reaped) soon.
    EXPECT_TRUE(eventually([&] { return group_states(pair.pid(target)).empty(); }, 5)) << "still running";
    // The peer, cut off, ends too, whatever it was writing into.
    ASSERT_TRUE(eventually([&] { return group_states(pair.pid(peer)).empty(); }, 5)) << "the peer is still running";
    const auto [s, r] = pair.wait();

    const RunResult& signalled = target == 0 ? s : r;
    const RunResult& other = target == 0 ? r : s;
    EXPECT_FALSE(s.timed_out || r.timed_out);
    EXPECT_EQ(signalled.status, 128 + sig) << signalled.err;
    EXPECT_EQ(signalled.err, "");
    if (!whole_group) {
        EXPECT_EQ(other.status, 0) << other.err;
    }

    // Signalled alone, vek passes the stop on; signalled with it, the
    // command has it too. Either way the command ends during file 2.
    const std::vector<std::string> whole = arrived_whole();
    EXPECT_EQ(whole, std::vector<std::string>{"1.bin"});
    EXPECT_EQ(record_names(log("send.log"), 'S'), whole);
    EXPECT_EQ(record_names(log("recv.log"), 'R'), whole);
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(group_states(pair.pid(0)), "") << "left running on the sending side";
    EXPECT_EQ(group_states(pair.pid(1)), "") << "left running on the receiving side";
}

std::string signal_case(const testing::TestParamInfo<std::tuple<int, bool, int, bool>>& info)
{
    const auto [target, whole_group, sig, telnet] = info.param;
    const char* who[2][2] = {{"SendingVek", "SenderGroup"}, {"ReceivingVek", "ReceiverGroup"}};
    return std::string(who[target][whole_group]) + (sig == SIGHUP ? "HangUp" : "Terminate") + (telnet ? "Telnet" : "");
}

INSTANTIATE_TEST_SUITE_P(MidTransfer, Signals,
                         testing::Combine(testing::Values(0, 1), testing::Bool(), testing::Values(SIGHUP, SIGTERM),
                                          testing::Bool()),
                         signal_case);

// --- Names that look like the stream's own words --------------------------

class HostileNames : public RealPair, public testing::WithParamInterface<bool> {};

TEST_P(HostileNames, RecordsNameOnlyFilesThatWereMoved)
{
    const bool vek_sends = GetParam();  // else vek receives
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
    EXPECT_EQ(arrived_whole().size(), names.size());
    EXPECT_EQ(record_names(log("veklog"), vek_sends ? 'S' : 'R'),
              (std::vector<std::string>{"MyBytes.bin", long250, long255}));
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(RealCommands, HostileNames, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "VekSzIntoBareRz" : "BareSzIntoVekRz");
                         });

// --- Names that forge a header for another file ---------------------------

// A line end in a name makes sz or rz print what reads as a header for
// gift.zip, or for old.txt: there before the run, touched by another process
// during it. A host that credits files from the log must see gift.zip once.
class ForgedHeaders : public RealPair, public testing::WithParamInterface<bool> {};

TEST_P(ForgedHeaders, GiveOneRecordForTheFileMoved)
{
    const TimeLimit limit(20);
    const bool vek_sends = GetParam();  // by YMODEM; else vek receives by ZMODEM
    const std::vector<std::string> names =
        vek_sends ? std::vector<std::string>{"x\rSending: gift.zip", "gift.zip"}
                  : std::vector<std::string>{"gift.zip", "x\rReceiving: gift.zip", "y\nReceiving: gift.zip",
                                             "z\nReceiving: old.txt"};
    for (const std::string& name : names)
        put(name, random_bytes(2000, 1));
    write_file(root / "recv/old.txt", "old");
    struct stat st {};
    stat((root / "recv/old.txt").c_str(), &st);
    ASSERT_TRUE(eventually([&] { return file_clock_now() > st.st_ctim.tv_sec; }, 5));
    // The bare side touches old.txt once vek's capture is there, so once vek's run has started.
    std::vector<std::string> bare_side{"/bin/sh", "-c",
                                       "until [ -n \"$(ls -A ../tmp)\" ]; do sleep 0.01; done; touch ../recv/old.txt; "
                                       "exec " + std::string(vek_sends ? "rz -bpRvv --ymodem" : "sz -brNvv \"$@\""),
                                       "sh"};
    std::vector<std::string> sy{"sy"};
    std::vector<std::string>& sender_args = vek_sends ? sy : bare_side;
    sender_args.insert(sender_args.end(), names.begin(), names.end());
    PairSide sender = vek_sends ? vek("send", "veklog", sy) : side("send", bare_side);
    sender.opts.timeout_seconds = 15;
    const auto [s, r] = run_pair(sender, vek_sends ? side("recv", bare_side) : vek("recv", "veklog", {"rz"}));
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(arrived_whole().size(), names.size());
    EXPECT_EQ(record_names(log("veklog"), vek_sends ? 'S' : 'R'), std::vector<std::string>{"gift.zip"});
    // Nothing was written outside recv/ but the log.
    EXPECT_EQ(list_dir(root.path()), (std::vector<std::string>{"recv", "send", "tmp", "veklog"}));
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(RealCommands, ForgedHeaders, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "VekSyIntoBareRz" : "BareSzIntoVekRz");
                         });

}  // namespace
