// The event stream with the real sz and rz: every field the manual page names,
// with the values a host credits by, for files that complete and files that
// do not; and a stream that cannot be written harms nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "fixtures.h"
#include "records.h"

namespace {

using nlohmann::json;

std::vector<json> events_in(const std::string& text)
{
    std::vector<json> all;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        all.push_back(json::parse(line));
    return all;
}

// The fields each event must have, with their JSON types ('s' string, 'n'
// number, 'b' boolean, 'a' array, '0' null), as the manual page names them.
const std::map<std::string, std::map<std::string, std::string>> fields = {
    {"start", {{"protocol", "s"}, {"direction", "s"}, {"files", "a"}, {"dir", "s0"}, {"telnet", "b"}}},
    {"file", {{"name", "s"}}},
    {"progress", {{"name", "s"}, {"bytes", "n"}, {"bps", "n"}}},
    {"done", {{"name", "s"}, {"bytes", "n"}, {"seconds", "n"}, {"bps", "n"}, {"record", "s0"}}},
    {"failed", {{"name", "s"}, {"bytes", "n"}, {"reason", "s"}, {"message", "s"}, {"partial", "s0"}}},
    {"end",
     {{"result", "s"}, {"files_done", "n"}, {"files_failed", "n"}, {"bytes", "n"}, {"seconds", "n"},
      {"command", "ns0"}, {"stop", "s0"}, {"status", "n"}}},
};

char kind(const json& v)
{
    return v.is_string() ? 's' : v.is_number() ? 'n' : v.is_boolean() ? 'b' : v.is_array() ? 'a' : v.is_null() ? '0' : '?';
}

// Every line well-formed, in order: start first, end last and once.
void check_shape(const std::vector<json>& all)
{
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front()["event"], "start");
    EXPECT_EQ(all.back()["event"], "end");
    for (const json& e : all) {
        SCOPED_TRACE(e.dump());
        EXPECT_EQ(e["v"], 1);
        EXPECT_TRUE(e["pid"].is_number());
        EXPECT_TRUE(std::regex_match(e["time"].get<std::string>(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        const auto f = fields.find(e["event"]);
        ASSERT_NE(f, fields.end());
        for (const auto& [name, types] : f->second)
            EXPECT_NE(types.find(kind(e.value(name, json()))), std::string::npos) << name;
    }
}

std::vector<json> of_kind(const std::vector<json>& all, const std::string& event)
{
    std::vector<json> some;
    for (const json& e : all)
        if (e["event"] == event)
            some.push_back(e);
    return some;
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

// A name that is not UTF-8 is still there byte for byte; a FIFO nobody reads
// is said once and changes nothing else.
TEST_F(Events, ExactNamesAndAStreamNobodyReads)
{
    const TimeLimit limit(20);
    const std::string latin1 = "caf\xe9.bin";
    put(latin1, random_bytes(1000, 3));
    mkfifo((root / "nobody").c_str(), 0600);
    PairSide send = vek("send", "send.log", {"sz", latin1, "-e", root / "send.ev"});
    PairSide recv = vek("recv", "recv.log", {"rz", "-e", root / "nobody"});
    const auto [s, r] = run_pair(send, recv);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error! Can't write events " + root / "nobody" + ": No such device or address\n");
    EXPECT_EQ(log("recv.log"), received(latin1));
    const std::vector<json> done = of_kind(events_in(log("send.ev")), "done");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0]["name"], "caf\xef\xbf\xbd.bin");
    EXPECT_EQ(done[0]["name_base64"], "Y2Fm6S5iaW4=");
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
        // sz, stopped, may meet the cut line on its way out, and say so.
        {"the host stops the run", true, "big.bin", SIGTERM, "cancelled|line", "none", "SIGTERM", 128 + SIGTERM},
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
        if (c.action != 0) {
            struct stat st {};
            ASSERT_TRUE(eventually([&] { return stat((root / "recv/big.bin").c_str(), &st) == 0 && st.st_size > 0; }, 10));
            kill(c.action > 0 ? pair.pid(0) : -pair.pid(1), std::abs(c.action));
        }
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
        EXPECT_EQ(all.back()["result"], c.result);
        EXPECT_EQ(all.back()["stop"], c.stop.empty() ? json(nullptr) : json(c.stop));
        EXPECT_EQ(all.back()["status"], c.status);
    }
}

}  // namespace
