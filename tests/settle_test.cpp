// How a host settles its accounts from the events alone: each file it asked
// to send, and each file that arrived, is credited (done) or refunded
// (failed) exactly once before the end, and the disk agrees, whatever befell
// the run. Then the idle bound: a line on which nothing moves stops the run,
// one that keeps moving does not; and a TELNET connection that closes under
// a waiting sz is a cut line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "fixtures.h"
#include "lines.h"
#include "records.h"

namespace {

using nlohmann::json;
using Time = std::chrono::steady_clock;
namespace fs = std::filesystem;

double since(Time::time_point t) { return std::chrono::duration<double>(Time::now() - t).count(); }
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

enum Befalls { nothing, missing, duplicate, peer_cancels, host_stops, line_cut, befalls_count };
const char* const befalls_words[] = {"nothing", "a missing file", "a duplicate", "the peer's cancel",
                                     "the host's stop", "a cut line"};
// From nothing to a few MB; YMODEM, which waits for each block's answer, gets the first four.
const std::pair<const char*, size_t> pool[] = {{"empty.bin", 0},      {"one.txt", 1},        {"small.bin", 3000},
                                               {"mid.bin", 200000}, {"big.bin", 2 << 20}, {"huge.bin", 6 << 20}};

// One random run, the same for the same seed and number.
struct Plan {
    bool vek_sends, ymodem, relayed, lagging_reader, dup_same;
    Befalls what;
    int delay_ms, lag_ms, sig = 0;
    std::vector<std::string> names;  // given to the sender, in order
    std::string dup;                 // already at the receiver, with the same bytes or others
    std::string shown;               // the plan in words

    Plan(unsigned seed, int n)
    {
        std::mt19937 rng(seed * 1000003u + static_cast<unsigned>(n));
        const auto pick = [&](size_t k) { return static_cast<int>(rng() % k); };
        vek_sends = pick(2), ymodem = !pick(4), lagging_reader = !pick(3), dup_same = pick(2);
        relayed = !pick(3);  // an idle bound that never trips makes vek relay a plain pipe
        what = static_cast<Befalls>(pick(befalls_count));
        delay_ms = pick(150), lag_ms = pick(500);  // a reader within the second the end waits for one
        sig = what != host_stops ? 0 : pick(2) ? SIGTERM : SIGHUP;
        for (size_t i = 0; i < (ymodem ? 4 : std::size(pool)); ++i)
            names.push_back(pool[i].first);
        std::shuffle(names.begin(), names.end(), rng);
        names.resize(1 + pick(ymodem ? 2 : 3));  // YMODEM pauses 2 s between files
        if (what == missing)
            names.insert(names.begin() + pick(names.size() + 1), "absent.bin");
        if (what == duplicate)
            dup = names[pick(names.size())];
        std::ostringstream d;
        d << "run " << n << ": vek " << (vek_sends ? "sends" : "receives") << (ymodem ? " by YMODEM" : "")
          << (relayed ? ", relayed" : "") << ", " << befalls_words[what] << " after " << delay_ms << " ms "
          << (sig ? sigabbrev_np(sig) : "") << (lagging_reader ? ", events read late by " + std::to_string(lag_ms) : "");
        for (const std::string& name : names)
            d << " " << name << (name == dup ? (dup_same ? " (there, the same)" : " (there, another)") : "");
        shown = d.str();
    }
    bool interrupted() const { return what == peer_cancels || what == host_stops || what == line_cut; }
};

struct Tally {
    std::string problems;
    int credited = 0, refunded = 0;
};

// Stands first in a FIFO of one page, so that a reader who lags makes vek
// queue from its first event on.
const std::string filler(3500, '#');

class Settle : public RealPair {
protected:
    Tally run(const Plan& p, const std::string& here);
    // Credits each done and refunds each failed, from the events alone; says
    // what does not hold against the log and the disk.
    std::string settle(const Plan& p, const std::string& here, const std::vector<json>& all, const RunResult& ours,
                       const std::map<std::string, std::string>& there, Tally& t);
};

Tally Settle::run(const Plan& p, const std::string& here)
{
    const std::string ev = root / (here + "/ev");
    fs::create_directories(root / (here + "/recv"));
    std::map<std::string, std::string> there;  // at the receiver before the run
    if (!p.dup.empty())
        write_file(root / (here + "/recv/" + p.dup), there[p.dup] = p.dup_same ? files.at(p.dup) : "another");
    std::vector<std::string> args{std::string(p.vek_sends ? "s" : "r") + (p.ymodem ? "y" : "z"), "-e", ev};
    if (p.relayed)
        args.insert(args.end(), {"--idle", "60"});
    if (p.vek_sends)
        args.insert(args.end(), p.names.begin(), p.names.end());
    const std::string ymodem = p.ymodem ? " --ymodem" : "";
    PairSide ours = vek(p.vek_sends ? "send" : here + "/recv", here + "/log", args);
    ours.opts.timeout_seconds = 20;
    int fifo = -1;
    if (p.lagging_reader) {
        mkfifo(ev.c_str(), 0600);
        fifo = open(ev.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        fcntl(fifo, F_SETPIPE_SZ, 4096);
        const int w = open(ev.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        (void)!write(w, filler.data(), filler.size());
        close(w);
    }
    RunningPair pair(ours, p.vek_sends ? bare(here + "/recv", "rz -bpR" + ymodem)
                                       : bare("send", "sz -brN" + ymodem, p.names));
    std::atomic<bool> over{false};
    std::string text;
    std::thread reader;
    if (fifo >= 0)
        reader = std::thread([&] {
            sleep_ms(p.lag_ms);
            char buf[65536];
            for (ssize_t n; !((n = read(fifo, buf, sizeof buf)) == 0 && over);)
                n > 0 ? (void)text.append(buf, static_cast<size_t>(n)) : sleep_ms(2);
        });
    if (p.interrupted()) {
        if (p.what == host_stops)  // a run under way: vek has started its command
            eventually([&] { return child_of(pair.pid(0)) > 0 || !running_process(pair.pid(0)); }, 10);
        sleep_ms(p.delay_ms);
        if (p.what == host_stops)
            kill(pair.pid(0), p.sig);
        else  // lrzsz sends its cancel as it goes
            kill(p.what == peer_cancels ? pair.pid(1) : -pair.pid(1), p.what == peer_cancels ? SIGTERM : SIGKILL);
    }
    // lrzsz's signal handler may hang a peer told to stop; once vek has ended, it no longer matters.
    const bool vek_ended = eventually([&] { return !running_process(pair.pid(0)); }, 20);
    if (!eventually([&] { return !running_process(pair.pid(1)); }, 2))
        kill(-pair.pid(1), SIGKILL);
    const RunResult r = pair.wait().first;
    over = true;
    if (reader.joinable()) {
        reader.join();
        close(fifo);
        text.erase(0, text.starts_with(filler) ? filler.size() : 0);
    } else {
        text = log(here + "/ev");
    }
    Tally t;
    try {
        t.problems = (vek_ended && !r.timed_out ? "" : "vek hung\n") + settle(p, here, events_in(text), r, there, t);
    } catch (const std::exception& e) {
        t.problems = std::string("unreadable events: ") + e.what() + "\n";
    }
    if (!t.problems.empty())
        t.problems += "events:\n" + text + "vek said: " + r.err;
    return t;
}

std::string Settle::settle(const Plan& p, const std::string& here, const std::vector<json>& all, const RunResult& ours,
                           const std::map<std::string, std::string>& there, Tally& t)
{
    if (all.size() < 2 || all.front()["event"] != "start" || all.back()["event"] != "end")
        return "no start first and end last\n";
    std::ostringstream bad;
    const json &start = all.front(), &end = all.back();
    // A send's files by their place in start.files, a receive's by name.
    const auto key = [&](const json& e) { return e.value(p.vek_sends ? "index" : "name", json()).dump(); };
    std::map<std::string, int> settled;
    std::set<std::string> announced;
    std::string last, records;  // the file under way at the end; the done events' records
    std::vector<std::tuple<std::string, std::string, bool, json>> outcomes;  // name, key, credited, the event
    for (size_t i = 0; i < all.size(); ++i) {
        const json& e = all[i];
        const std::string kind = e["event"];
        if (e["run"] != start["run"] || ((kind == "start" || kind == "end") && i != 0 && i + 1 != all.size()))
            bad << "out of place: " << e.dump() << "\n";
        if (kind == "file")
            announced.insert(last = key(e));
        const bool credit = kind == "done";
        if ((!credit && kind != "failed") || (!p.vek_sends && e["name"].is_null()))
            continue;  // a receive that failed before a name came refunds nothing
        ++settled[key(e)];
        outcomes.emplace_back(e["name"].get<std::string>(), key(e), credit, e);
        records += credit ? (e["record"].is_string() ? e["record"].get<std::string>() : "(none)") + "\n" : "";
        ++(credit ? t.credited : t.refunded);
    }
    if (p.vek_sends && start["files"] != json(p.names))
        bad << "start.files " << start["files"] << "\n";
    for (size_t i = 0; p.vek_sends && i < p.names.size(); ++i)
        announced.insert(std::to_string(i));
    for (const auto& [k, n] : settled)  // rz may refuse a duplicate before its name is announced
        if (n != 1 || (p.vek_sends && !announced.count(k)))
            bad << k << " settled " << n << " times\n";
    for (const std::string& k : announced)
        if (!settled.count(k))
            bad << k << " never settled\n";
    if (end["files_done"] != of_kind(all, "done").size() || end["files_failed"] != of_kind(all, "failed").size())
        bad << "the end's counts are not the events'\n";
    if (end["result"] == "ok" && (end["command"] != 0 || end["files_failed"] != 0))
        bad << "ok, though the command or a file failed\n";
    // A stop that comes once the end is written ends vek all the same.
    if (end["status"] != ours.status && !(ours.status == 128 + p.sig && end["stop"].is_null()))
        bad << "end.status " << end["status"] << ", exit status " << ours.status << "\n";
    if (records != log(here + "/log"))
        bad << "the done events' records are not the log\n";
    if (ours.err.find("events lost") != std::string::npos)
        bad << ours.err;

    const std::string recv = root / (here + "/recv/");
    const auto whole = [&](const std::string& name) {
        return file_exists(recv + name) && files.count(name) && read_file(recv + name) == files.at(name);
    };
    for (const auto& [name, k, credit, e] : outcomes) {
        const bool before = there.count(name), left = !before && file_exists(recv + name);
        if (credit && (!whole(name) || before))
            bad << "credited " << name << ", which did not arrive\n";
        // The file under way when the run was cut may have arrived whole, unconfirmed.
        if (!credit && left && whole(name) && !(p.interrupted() && k == last))
            bad << "refunded " << name << ", which arrived whole\n";
        // A receive's refund names the copy it left, as it is on disk.
        if (!credit && !p.vek_sends &&
            (e["partial"] != (left ? json(recv + name) : json()) ||
             e["partial_bytes"] != (left ? json(fs::file_size(recv + name)) : json())))
            bad << "refunded " << name << " with partial " << e["partial"] << ", " << e["partial_bytes"] << "\n";
    }
    for (const std::string& name : list_dir(recv))
        if (whole(name) && !there.count(name) &&
            std::none_of(outcomes.begin(), outcomes.end(), [&](const auto& o) { return std::get<0>(o) == name; }))
            bad << name << " arrived whole, and the events never said\n";
    return bad.str();
}

TEST_F(Settle, EveryFileIsCreditedOrRefundedOnceAndTheDiskAgrees)
{
    const TimeLimit limit(90);
    for (unsigned i = 0; i < std::size(pool); ++i)
        put(pool[i].first, random_bytes(pool[i].second, i));
    const unsigned seed = std::getenv("SETTLE_SEED") ? static_cast<unsigned>(std::stoul(std::getenv("SETTLE_SEED"))) : 1;
    constexpr int runs = 200, workers = 8;  // mostly waiting on the protocols' own pauses
    std::vector<Tally> tallies(runs);
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (int n; (n = next++) < runs;)
                tallies[static_cast<size_t>(n)] = run(Plan(seed, n), "r" + std::to_string(n));
        });
    for (std::thread& w : threads)
        w.join();
    int credited = 0, refunded = 0;
    for (int n = 0; n < runs; ++n) {
        EXPECT_EQ(tallies[n].problems, "") << "SETTLE_SEED=" << seed << ", " << Plan(seed, n).shown;
        credited += tallies[n].credited;
        refunded += tallies[n].refunded;
    }
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    std::printf("settled %d runs (seed %u): %d files credited, %d refunded\n", runs, seed, credited, refunded);
}

// --idle and VEKIDLE take whole seconds from 1 to a day; anything else runs nothing.
class IdleArguments : public FakeTools {};

TEST_F(IdleArguments, WholeSecondsFromOneToADay)
{
    const struct Case {
        std::vector<std::string> args;
        const char* env;  // VEKIDLE, unless null
        bool runs;
    } cases[] = {
        {{"--idle", "0"}, nullptr, false},          {{"--idle", "1.5"}, nullptr, false},
        {{"--idle", "86401"}, nullptr, false},      {{"--idle", "4294967297"}, nullptr, false},  // 2^32 + 1 is not 1
        {{"--idle", "5"}, "-3", false},             {{"--IDLE", "86400"}, nullptr, true},
        {{}, "1", true},
    };
    for (const Case& c : cases) {
        const std::string value = c.env ? c.env : c.args.back();
        SCOPED_TRACE((c.env ? "VEKIDLE=" : "--idle ") + value);
        fs::remove(dir / "sz.args");
        env.erase("VEKIDLE");
        if (c.env)
            env["VEKIDLE"] = c.env;
        std::vector<std::string> args{"sz", "a.bin"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = vek(args);
        EXPECT_EQ(r.status, c.runs ? 0 : 1);
        EXPECT_EQ(r.err, c.runs ? "" : std::string("Fatal: ") + (c.env ? "VEKIDLE" : "--idle") +
                                           " wants whole seconds from 1 to 86400, not '" + value + "'!\n");
        EXPECT_EQ(ran("sz"), c.runs);
    }
}

class Idle : public RealPair {};

// A peer that falls silent mid-file (stopped): nothing moves either way, and
// vek stops the run as a host would, the file failed for `timeout`; the
// peer itself is left alone.
TEST_F(Idle, SilentLineStopsTheRun)
{
    const TimeLimit limit(30);
    put("big.bin", random_bytes(32 << 20, 7));
    const std::string copy = root / "recv/big.bin";
    for (const bool vek_sends : {true, false}) {
        SCOPED_TRACE(vek_sends ? "download, --idle" : "upload, VEKIDLE");
        fs::remove(copy);
        fs::remove(root / "ev");
        PairSide ours = vek_sends ? vek("send", "log", {"sz", "--idle", "1", "big.bin", "-e", root / "ev"})
                                  : vek("recv", "log", {"rz", "-e", root / "ev"});
        ours.opts.env["VEKIDLE"] = "1";
        ours.opts.timeout_seconds = 12;
        RunningPair pair(ours, vek_sends ? bare("recv", "rz -bpR") : bare("send", "sz -brN", {"big.bin"}));
        ASSERT_TRUE(eventually([&] { return file_exists(copy) && fs::file_size(copy) > 0; }, 5));
        kill(pair.pid(1), SIGSTOP);
        const auto silent = Time::now();
        EXPECT_TRUE(eventually([&] { return !running_process(pair.pid(0)); }, 8));
        const double took = since(silent);
        EXPECT_TRUE(running_process(pair.pid(1))) << "the peer was left alone";
        kill(pair.pid(1), SIGCONT);
        const auto [r, p] = pair.wait();
        std::printf("stopped %.2f s after the line fell silent (idle bound 1 s)\n", took);
        EXPECT_GT(took, 0.9);
        EXPECT_LT(took, 5.0);
        EXPECT_FALSE(p.timed_out) << "the peer ends once it runs again";
        EXPECT_LT(fs::file_size(copy), files["big.bin"].size()) << "cut mid-file";
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "Error! Nothing moved on the line for 1 seconds; the transfer was stopped.\n");
        EXPECT_EQ(log("log"), "");
        const std::vector<json> all = events_in(log("ev")), failed = of_kind(all, "failed");
        ASSERT_EQ(failed.size(), 1u) << log("ev");
        EXPECT_EQ(failed[0]["name"], "big.bin");
        EXPECT_EQ(failed[0]["reason"], "timeout") << failed[0]["message"];
        EXPECT_EQ(all.back()["stop"], nullptr);
    }
}

// A slow line that keeps moving for twice the bound is never stopped: while
// the file streams, a ZMODEM download moves only outward, an upload only inward.
TEST_F(Idle, MovingLineIsNeverStopped)
{
    const TimeLimit limit(20);
    put("mid.bin", random_bytes(3 << 20, 8));
    const std::string slow =  // 16 KiB every 10 ms
        "perl -e 'while (sysread(STDIN, $b, 16384)) { syswrite(STDOUT, $b); select(undef, undef, undef, 0.01) }'";
    for (const bool vek_sends : {true, false}) {
        SCOPED_TRACE(vek_sends ? "download" : "upload");
        fs::remove(root / "recv/mid.bin");
        fs::remove(root / "log");
        PairSide ours = vek(vek_sends ? "send" : "recv", "log", {vek_sends ? "sz" : "rz", "--idle", "1"});
        if (vek_sends)
            ours.argv.push_back("mid.bin");
        ours.opts.timeout_seconds = 10;
        const auto began = Time::now();
        const auto [r, p] = run_pair(ours, vek_sends ? side("recv", {"/bin/sh", "-c", slow + " | rz -bpR"})
                                                     : side("send", {"/bin/sh", "-c", "sz -brN mid.bin | " + slow}));
        const double took = since(began);
        std::printf("a moving line kept for %.2f s (idle bound 1 s)\n", took);
        EXPECT_GT(took, 1.8) << "too fast to show anything";
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(log("log"), vek_sends ? sent("mid.bin") : received("mid.bin"));
        EXPECT_EQ(arrived_whole(), std::vector<std::string>{"mid.bin"});
    }
}

// A YMODEM receiver written from the protocol, at the test's end of a TELNET
// connection: it takes block 0 and the data, then hangs up on the sender's
// EOT instead of answering it. sz, waiting for that answer, meets a closed
// connection: a cut line, whatever sz makes of it.
class SettleTelnet : public RealPair {};

TEST_F(SettleTelnet, HangUpBeforeTheLastAnswerIsACutLine)
{
    const TimeLimit limit(15);
    put("big.bin", random_bytes(100000, 9));
    PairSide ours = vek("send", "log", {"--telnet", "sy", "big.bin", "-e", root / "ev"});
    ours.opts.timeout_seconds = 10;
    LineProgram running(LineKind::socket, ours.argv, ours.opts);
    const int line = running.line();
    const Deadline deadline = deadline_after(8);
    std::string got;
    size_t at = 0;
    const auto byte = [&]() -> int {  // the next byte, 0xFF undoubled; -1 at the end
        while (at >= got.size() || (got[at] == '\xff' && at + 1 >= got.size())) {
            pollfd in{line, POLLIN, 0};
            char buf[4096];
            const ssize_t n = poll(&in, 1, deadline.remaining_ms()) > 0 ? read(line, buf, sizeof buf) : 0;
            if (n <= 0)
                return -1;
            got.append(buf, static_cast<size_t>(n));
        }
        const int b = static_cast<unsigned char>(got[at]);
        at += b == 0xff ? 2 : 1;
        return b;
    };
    const auto answer = [&](char c) { ASSERT_EQ(write(line, &c, 1), 1); };
    constexpr int SOH = 1, STX = 2, EOT = 4, ACK = 6;
    answer('C');
    int blocks = 0, b = 0;
    std::string data;  // what the blocks after block 0 carry
    while ((b = byte()) == SOH || b == STX) {
        std::string block;
        for (int k = (b == SOH ? 128 : 1024) + 4, d; k > 0 && (d = byte()) >= 0; --k)
            block += static_cast<char>(d);
        ASSERT_EQ(block.size(), (b == SOH ? 128u : 1024u) + 4) << "cut inside block " << blocks;
        data += blocks ? block.substr(2, block.size() - 4) : "";
        answer(ACK);
        if (blocks++ == 0)
            answer('C');  // the file is named: now the data, with CRCs
    }
    ASSERT_EQ(b, EOT) << "after " << blocks << " blocks";
    EXPECT_TRUE(data.substr(0, 100000) == files["big.bin"]) << "the receiver read the blocks right";
    shutdown(line, SHUT_RDWR);
    const auto hung_up = Time::now();
    const RunResult r = running.wait();
    EXPECT_LT(since(hung_up), 4.0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(log("log"), "");
    const std::vector<json> failed = of_kind(events_in(log("ev")), "failed");
    ASSERT_EQ(failed.size(), 1u) << log("ev");
    EXPECT_EQ(failed[0]["name"], "big.bin");
    EXPECT_EQ(failed[0]["reason"], "line") << failed[0]["message"];
}

}  // namespace
