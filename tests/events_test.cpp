// The event stream with the real sz and rz: every field the manual page names,
// with the values a host credits by, for files that complete and files that
// do not; and a stream that cannot be written, or whose reader lags, harms
// nothing. Fakes stand in where a real command cannot give the case.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "fixtures.h"
#include "records.h"
#include "unique_fd.h"

namespace {

using nlohmann::json;

std::string unbase64(const std::string& text)
{
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int held = 0;
    for (const char c : text.substr(0, text.find('='))) {
        bits = bits << 6 | static_cast<uint32_t>(digits.find(c));
        if ((held += 6) >= 8)
            bytes += static_cast<char>(bits >> (held -= 8));
    }
    return bytes;
}

// The fields each event must have, with their JSON types ('s' string, 'n'
// number, 'b' boolean, 'a' array, '0' null, '-' absent), as the manual page names them.
const std::map<std::string, std::map<std::string, std::string>> fields = {
    {"start", {{"protocol", "s"}, {"direction", "s"}, {"files", "a"}, {"dir", "s0"}, {"telnet", "b"}}},
    {"file", {{"name", "s"}, {"index", "n-"}}},
    {"progress", {{"name", "s"}, {"index", "n-"}, {"bytes", "n"}, {"bps", "n"}}},
    {"done", {{"name", "s"}, {"index", "n-"}, {"bytes", "n"}, {"seconds", "n"}, {"bps", "n"}, {"record", "s0"}}},
    {"failed",
     {{"name", "s"}, {"index", "n-"}, {"bytes", "n"}, {"reason", "s"}, {"message", "s"}, {"partial", "s0"},
      {"partial_bytes", "n0"}}},
    {"end",
     {{"result", "s"}, {"files_done", "n"}, {"files_failed", "n"}, {"bytes", "n"}, {"seconds", "n"},
      {"command", "ns0"}, {"stop", "s0"}, {"status", "n"}}},
};

char kind(const json& e, const std::string& name)
{
    if (!e.contains(name))
        return '-';
    const json& v = e[name];
    return v.is_string() ? 's' : v.is_number() ? 'n' : v.is_boolean() ? 'b' : v.is_array() ? 'a' : v.is_null() ? '0' : '?';
}

// Every line well-formed, in order: start first, end last and once. A send
// tells each file by its place among the names given; a receive has none.
void check_shape(const std::vector<json>& all)
{
    ASSERT_FALSE(all.empty());
    const json& start = all.front();
    EXPECT_EQ(start["event"], "start");
    EXPECT_EQ(all.back()["event"], "end");
    EXPECT_TRUE(std::regex_match(start.value("run", ""), std::regex("[0-9a-f]{32}")));
    for (const json& e : all) {
        SCOPED_TRACE(e.dump());
        EXPECT_EQ(e["v"], 1);
        EXPECT_EQ(e["run"], start["run"]);
        EXPECT_TRUE(e["pid"].is_number());
        EXPECT_TRUE(std::regex_match(e["time"].get<std::string>(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        const auto f = fields.find(e["event"]);
        ASSERT_NE(f, fields.end());
        for (const auto& [name, types] : f->second)
            EXPECT_NE(types.find(kind(e, name)), std::string::npos) << name;
        EXPECT_EQ(e.contains("index"), e.contains("name") && start["direction"] == "send");
        if (e.contains("index")) {
            const std::string given = start["files"].at(e["index"].get<size_t>());
            EXPECT_EQ(std::filesystem::path(given).filename().string(), e["name"]);
        }
        // An exact copy only beside text that could not carry the bytes.
        for (const auto& [name, value] : e.items())
            EXPECT_TRUE(!name.ends_with("_base64") || value.is_array() ||
                        e.value(name.substr(0, name.size() - 7), "").find("\xef\xbf\xbd") != std::string::npos)
                << name;
    }
}

// Reads a FIFO opened before the run until the run has closed it, at most
// `chunk` bytes at a time with `pause` between; `seen` hears each event as
// its line arrives. Returns the whole text.
std::string read_events(int fifo, size_t chunk, milliseconds pause, const std::function<void(const json&)>& seen = {})
{
    std::string text;
    for (size_t parsed = 0;;) {
        pollfd in{fifo, POLLIN, 0};
        poll(&in, 1, -1);  // before the run opens it there is no end of file
        char buf[65536];
        const ssize_t n = read(fifo, buf, std::min(chunk, sizeof buf));
        if (n <= 0 && (in.revents & POLLHUP))
            return text;
        text.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        for (size_t end; (end = text.find('\n', parsed)) != std::string::npos; parsed = end + 1)
            if (seen)
                seen(json::parse(text.substr(parsed, end - parsed)));
        std::this_thread::sleep_for(pause);
    }
}

UniqueFd reader_of(const std::string& fifo)
{
    mkfifo(fifo.c_str(), 0600);
    return UniqueFd(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

class Events : public RealPair {};

TEST_F(Events, SayWhatHappenedToEachFileWithTheRecordsAndTheFigures)
{
    const TimeLimit limit(20);
    put("a.bin", random_bytes(300000, 1));
    put("b.bin", random_bytes(1000, 2));
    PairSide send = vek("send", "send.log", {"sz", "a.bin", "absent.bin", "b.bin", "--events", root / "send.ev"});
    PairSide recv = vek("recv", "recv.log", {"rz"});
    recv.opts.env["VEKEVENTS"] = root / "recv.ev";
    const auto [s, r] = run_pair(send, recv);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(r.status, 0);

    for (const char* side : {"send.ev", "recv.ev"}) {
        SCOPED_TRACE(side);
        const std::vector<json> all = events_in(log(side));
        check_shape(all);
        const bool sending = std::string(side) == "send.ev";
        const json& start = all.front();
        EXPECT_EQ(start["protocol"], "zmodem");
        EXPECT_EQ(start["direction"], sending ? "send" : "receive");
        EXPECT_EQ(start["files"], sending ? json({"a.bin", "absent.bin", "b.bin"}) : json::array());
        EXPECT_EQ(start["dir"], sending ? json(nullptr) : json(root / "recv"));
        EXPECT_EQ(start["telnet"], false);
        EXPECT_FALSE(start.contains("files_base64")) << "every name is UTF-8";

        // Each done event carries the record just written, and the real size.
        std::vector<std::string> done_names;
        std::string records;
        for (const json& d : of_kind(all, "done")) {
            const std::string name = d["name"];
            done_names.push_back(name);
            EXPECT_EQ(d["bytes"], files[name].size()) << name;
            records += d["record"].get<std::string>() + "\n";
        }
        EXPECT_EQ(done_names, (std::vector<std::string>{"a.bin", "b.bin"}));
        EXPECT_EQ(records, log(sending ? "send.log" : "recv.log"));
        const json& end = all.back();
        EXPECT_EQ(end["files_done"], 2);
        EXPECT_EQ(end["bytes"], 301000);
        EXPECT_EQ(end["stop"], nullptr);
        EXPECT_EQ(end["status"], 0);
        if (sending) {
            const std::vector<json> failed = of_kind(all, "failed");
            ASSERT_EQ(failed.size(), 1u);
            EXPECT_EQ(failed[0]["name"], "absent.bin");
            EXPECT_EQ(failed[0]["reason"], "missing");
            EXPECT_EQ(end["result"], "partial");
        } else {
            EXPECT_EQ(end["result"], "ok");
            EXPECT_EQ(end["command"], 0);
        }
    }
}

// Once `path` has data: `action` is a signal to vek (side 0), a stop; or,
// negated, to the peer's whole group, a cut line.
void act_once_arriving(RunningPair& pair, const std::string& path, int action)
{
    struct stat st {};
    ASSERT_TRUE(eventually([&] { return stat(path.c_str(), &st) == 0 && st.st_size > 0; }, 10));
    kill(action > 0 ? pair.pid(0) : -pair.pid(1), std::abs(action));
}

// Text that is not UTF-8 is still there byte for byte, and no line separator
// splits a line; a FIFO nobody reads is said once and changes nothing else.
TEST_F(Events, ExactNamesAndAStreamNobodyReads)
{
    const TimeLimit limit(20);
    const std::string latin1 = "caf\xe9.bin", separators = "l\u2028s\u2029.bin", absent = "n\xe9";
    put(latin1, random_bytes(1000, 3));
    put(separators, random_bytes(10, 3));
    mkfifo((root / "nobody").c_str(), 0600);
    PairSide send = vek("send", "send.log", {"sz", latin1, separators, absent, "-e", root / "send.ev"});
    PairSide recv = vek("recv", "recv.log", {"rz", "-e", root / "nobody"});
    const auto [s, r] = run_pair(send, recv);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error! Can't write events " + root / "nobody" + ": No such device or address\n");
    EXPECT_EQ(log("recv.log"), received(latin1) + received(separators));
    const std::vector<json> all = events_in(log("send.ev"));
    check_shape(all);
    std::vector<std::string> given;
    for (const json& name : all.front()["files_base64"])
        given.push_back(unbase64(name));
    EXPECT_EQ(given, (std::vector<std::string>{latin1, separators, absent}));
    const std::vector<json> done = of_kind(all, "done");
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0]["name"], "caf\xef\xbf\xbd.bin");
    EXPECT_EQ(done[0]["name_base64"], "Y2Fm6S5iaW4=");
    EXPECT_EQ(done[1]["name"], separators);
    EXPECT_EQ(unbase64(done[0]["record_base64"]) + "\n" + done[1]["record"].get<std::string>() + "\n", log("send.log"));
    const std::vector<json> failed = of_kind(all, "failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(unbase64(failed[0]["name_base64"]), absent);
    EXPECT_EQ(unbase64(failed[0]["message_base64"]), "sz: cannot open " + absent + ": No such file or directory");

    // An upload the host hangs up on (rz leaves the partial copy then), into
    // a directory whose name is not UTF-8.
    const std::string dir = root / "recv/d\xe9";
    mkdir(dir.c_str(), 0755);
    put("big.bin", random_bytes(16 << 20, 4));
    RunningPair pair(vek("recv", "recv.log", {"rz", dir + "/", "-e", root / "recv.ev"}),
                     bare("send", "sz -brNvv", {"big.bin"}));
    act_once_arriving(pair, dir + "/big.bin", SIGHUP);
    pair.wait();
    const std::vector<json> upload = events_in(log("recv.ev"));
    check_shape(upload);
    EXPECT_EQ(unbase64(upload.front().value("dir_base64", "")), dir);
    const std::vector<json> cut = of_kind(upload, "failed");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(unbase64(cut[0].value("partial_base64", "")), dir + "/big.bin");
}

// Real failures: the events say which file, how far it got and why, and
// the end says how the run ended.
TEST_F(Events, SayWhyAFileDidNotComplete)
{
    const TimeLimit limit(30);
    put("big.bin", random_bytes(16 << 20, 4));
    put("dup.bin", random_bytes(1000, 5));
    write_file(root / "recv/dup.bin", "already here");
    const struct Case {
        const char* what;
        bool vek_sends;
        std::string name;
        int action;  // 0: none; else a signal to the vek side (stop) or, negated, to the peer (a cut line)
        std::string reason;
        std::string result, stop;
        int status;
    } cases[] = {
        {"a duplicate is refused", false, "dup.bin", 0, "refused", "none", "", 0},
        {"the host stops the run", true, "big.bin", SIGTERM, "cancelled", "none", "SIGTERM", 128 + SIGTERM},
        {"the host hangs up", true, "big.bin", SIGHUP, "line", "none", "SIGHUP", 128 + SIGHUP},
        {"the line is cut", true, "big.bin", -SIGKILL, "line", "none", "", 0},
        // rz may take the end of its input for a silent sender first.
        {"the line is cut during an upload", false, "big.bin", -SIGKILL, "line|timeout", "none", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove((root / "ev").c_str());
        std::remove((root / "recv/big.bin").c_str());
        PairSide ours = c.vek_sends ? vek("send", "log", {"sz", c.name, "-e", root / "ev"})
                                    : vek("recv", "log", {"rz", "-e", root / "ev"});
        PairSide peer = c.vek_sends ? bare("recv", "rz -bpRvv") : bare("send", "sz -brNvv", {c.name});
        RunningPair pair(ours, peer);
        if (c.action != 0)
            act_once_arriving(pair, root / "recv/big.bin", c.action);
        const auto [r, p] = pair.wait();
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::vector<json> all = events_in(log("ev"));
        check_shape(all);
        const std::vector<json> failed = of_kind(all, "failed");
        ASSERT_EQ(failed.size(), 1u) << log("ev");
        EXPECT_EQ(failed[0]["name"], c.name);
        EXPECT_TRUE(std::regex_match(failed[0]["reason"].get<std::string>(), std::regex(c.reason)))
            << failed[0]["message"];
        EXPECT_FALSE(failed[0]["message"].get<std::string>().starts_with("Bytes")) << "figures are no words";
        EXPECT_LE(failed[0]["bytes"].get<uint64_t>(), files[c.name].size());
        // Only an upload cut short may leave a copy behind (rz removes some),
        // and then says where.
        const bool partial = !c.vek_sends && c.action != 0 && file_exists(root / "recv/big.bin");
        EXPECT_EQ(failed[0]["partial"], partial ? json(root / "recv/big.bin") : json(nullptr)) << log("ev");
        EXPECT_EQ(failed[0]["partial_bytes"], partial ? json(std::filesystem::file_size(root / "recv/big.bin")) : json(nullptr));
        EXPECT_EQ(all.back()["result"], c.result);
        EXPECT_EQ(all.back()["stop"], c.stop.empty() ? json(nullptr) : json(c.stop));
        EXPECT_EQ(all.back()["status"], c.status);
    }
}

// A reader that lags loses progress, never a file's announcement, its
// completion or the end, however many are waiting.
TEST_F(Events, AReaderThatLagsLosesOnlyProgress)
{
    const TimeLimit limit(20);
    std::vector<std::string> args{"sz", "-e", root / "ev"};
    for (int i = 0; i < 300; ++i) {
        args.push_back("f" + std::to_string(i));
        put(args.back(), random_bytes(100, i));
    }
    const UniqueFd fifo = reader_of(root / "ev");
    RunningPair pair(vek("send", "log", args), bare("recv", "rz -bpRvv"));
    std::this_thread::sleep_for(milliseconds(300));
    const std::vector<json> all = events_in(read_events(fifo.get(), 4096, milliseconds(1)));
    const auto [s, r] = pair.wait();
    EXPECT_EQ(s.err, "");
    check_shape(all);
    EXPECT_LT(of_kind(all, "progress").size(), 300u) << "the reader never lagged";
    EXPECT_EQ(of_kind(all, "file").size(), 300u);
    EXPECT_EQ(of_kind(all, "done").size(), 300u);
}

// A host that reads the log on `done` finds the record there, even when
// the record had to wait for the log's lock.
TEST_F(Events, DoneOnlyOnceItsRecordIsInTheLog)
{
    const TimeLimit limit(20);
    for (const char* name : {"a", "b", "c"})
        put(name, random_bytes(1000, 7));
    write_file(root / "log", "");
    const UniqueFd reader(open((root / "log").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(reader.get(), LOCK_SH), 0);
    const UniqueFd fifo = reader_of(root / "ev");
    RunningPair pair(vek("send", "log", {"sz", "a", "b", "c", "-e", root / "ev"}), bare("recv", "rz -bpRvv"));
    std::thread unlock([&] {
        std::this_thread::sleep_for(milliseconds(1500));
        flock(reader.get(), LOCK_UN);
    });
    const std::string text = read_events(fifo.get(), 65536, milliseconds(0), [&](const json& e) {
        if (e["event"] == "done") {
            EXPECT_NE(log("log").find(e["record"].get<std::string>() + "\n"), std::string::npos) << e["name"];
        }
    });
    unlock.join();
    pair.wait();
    EXPECT_EQ(of_kind(events_in(text), "done").size(), 3u);
}

// Every sender counts the file's own bytes, not the blocks that carried
// them; a send tells files of one name apart by their place.
TEST_F(Events, SendersCountEachFileExactly)
{
    const TimeLimit limit(30);
    mkdir((root / "send/x").c_str(), 0755);
    mkdir((root / "send/y").c_str(), 0755);
    const struct Case {
        const char* word;
        std::vector<std::pair<std::string, size_t>> sent;  // name, size
        std::string receiver;
    } cases[] = {
        {"sz", {{"x/a", 3}, {"y/a", 6}}, "rz -bEvv"},
        {"sy", {{"one.bin", 1}, {"k.bin", 1025}}, "rz -bpRvv --ymodem"},
        {"sx", {{"x.bin", 1000}}, "rz -bpRvv --xmodem x.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        std::remove((root / "ev").c_str());
        std::vector<std::string> args{c.word, "-e", root / "ev"};
        size_t total = 0;
        for (const auto& [name, size] : c.sent) {
            put(name, random_bytes(size, 8));
            args.push_back(name);
            total += size;
        }
        run_pair(vek("send", "log", args), bare("recv", c.receiver));
        const std::vector<json> all = events_in(log("ev"));
        check_shape(all);
        const std::vector<json> done = of_kind(all, "done");
        ASSERT_EQ(done.size(), c.sent.size());
        for (size_t i = 0; i < done.size(); ++i) {
            EXPECT_EQ(done[i]["index"], i);
            EXPECT_EQ(done[i]["bytes"], c.sent[i].second);
        }
        EXPECT_EQ(all.back()["bytes"], total);
    }
}

// Started with standard input or output closed, vek puts /dev/null there
// before it opens anything, so that sz neither reads nor writes the line
// through a file of ours: the send ends at once, and the events stay whole.
TEST_F(Events, StartedWithAStandardDescriptorClosed)
{
    const TimeLimit limit(20);
    put("a.bin", random_bytes(1000, 9));
    for (const int fd : {0, 1}) {
        SCOPED_TRACE(fd);
        std::remove((root / "ev").c_str());
        PairSide p = side("send", {"/bin/sh", "-c", "exec \"$@\" " + std::to_string(fd) + "<&-", "sh", vek_binary(),
                                   "sz", "a.bin", "-e", root / "ev"});
        p.opts.timeout_seconds = 3;
        const RunResult r = run_program(p.argv, p.opts);
        EXPECT_FALSE(r.timed_out);
        check_shape(events_in(log("ev")));
        EXPECT_EQ(r.out.empty(), fd == 1) << "sz talks on the line, or to nobody";
    }
}

class EventsOfFakes : public FakeTools {};

// However often the command tells of progress, a file's progress events
// come at most four a second.
TEST_F(EventsOfFakes, AtMostFourProgressEventsASecond)
{
    const TimeLimit limit(20);
    write_file(dir / "bin/sz",
               "#!/bin/sh\nprintf 'Sending: a\\n' >&2\nfor i in $(seq 150); do\n"
               "  printf '\\rBytes Sent: %d/9999 BPS:99 ETA 00:00 ' $i >&2; sleep 0.01\ndone\n",
               0755);
    vek({"sz", "a", "-e", dir / "ev"});
    const std::vector<json> all = events_in(read_file(dir / "ev"));
    check_shape(all);
    const double seconds = all.back()["seconds"];
    const size_t progress = of_kind(all, "progress").size();
    EXPECT_GE(seconds, 1.0);
    EXPECT_GE(progress, 4u);
    EXPECT_LE(progress, 4 * seconds + 2);
}

// No capture, no command: each file named fails with the reason, and the
// run ends in error.
TEST_F(EventsOfFakes, TemporaryDirectoryNotWritableOrCommandTooLong)
{
    const TimeLimit limit(20);
    // Each name fits in an argument of vek's; the command that holds both
    // is longer than the system lets one argument of the shell's be.
    const std::string a(70000, 'a'), b(70000, 'b');
    const struct {
        std::string tmp, a, b, said, message;  // patterns: vek's prefix, the words
    } cases[] = {
        {"/nonexistent", "a", "b", "Fatal! ", R"(Can't open /nonexistent/\.vek\.tmp!)"},
        {dir.path(), a, b, "Fatal: ", R"(Command too long for the shell \(\d+ characters\)!)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        env["TMP"] = c.tmp;
        std::remove((dir / "ev").c_str());
        const RunResult r = vek({"-e", dir / "ev", "sz", c.a, c.b});
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.said + c.message + "\n"))) << r.err;
        const std::vector<json> all = events_in(read_file(dir / "ev"));
        check_shape(all);
        const std::vector<json> failed = of_kind(all, "failed");
        ASSERT_EQ(failed.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(failed[i]["index"], i);
            EXPECT_EQ(failed[i]["reason"], "error");
            EXPECT_TRUE(std::regex_match(failed[i]["message"].get<std::string>(), std::regex(c.message)));
        }
        EXPECT_EQ(all.back()["result"], "error");
        EXPECT_EQ(all.back()["command"], nullptr);
    }
}

// An object cut short by a limit on file sizes is taken back, so that the
// next run's events in the same file start a line of their own.
TEST_F(EventsOfFakes, AnObjectCutShortIsTakenBack)
{
    const TimeLimit limit(20);
    env["FAKE_STDERR"] = sz_text;
    const std::string ev = dir / "ev";
    const RunResult cut = run_program({"/usr/bin/prlimit", "--fsize=300", program(), "sz", "a.bin", "-e", ev}, options());
    EXPECT_TRUE(cut.err.starts_with("Error! Can't write events " + ev + ": a short write")) << cut.err;
    vek({"sz", "a.bin", "-e", ev});
    const std::vector<json> starts = of_kind(events_in(read_file(ev)), "start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_NE(starts[0]["run"], starts[1]["run"]) << "each run has an id of its own";
}

}  // namespace
