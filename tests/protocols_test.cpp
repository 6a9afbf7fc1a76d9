// The three protocols: which command each word runs and where, what XMODEM
// refuses, the records of real XMODEM and YMODEM streams, and whole transfers
// with the real sz and rz.
#include <unistd.h>

#include <cstdio>

#include "fixtures.h"
#include "records.h"

namespace {

std::string data_file(const char* name) { return std::string(VEK_TEST_DATA) + "/" + name; }

// A size whose files move far faster than the 9999 bytes a second of the
// rate's cap, even after the seconds that XMODEM and YMODEM take to start,
// so that their records are predictable.
constexpr size_t SMALL = 70000;

class Protocols : public FakeTools {
protected:
    void forget_last_run()
    {
        for (const char* f : {"sz.args", "sz.cwd", "rz.args", "rz.cwd", "vek.log"})
            std::remove((dir / f).c_str());
    }
};

TEST_F(Protocols, EachWordRunsItsProtocolWhereTheNameSays)
{
    mkdir((dir / "work/in").c_str(), 0755);
    // Names that begin with "-" come from file lists only.
    write_file(dir / "work/ab", "a\n-b\n");
    write_file(dir / "work/dash", "-a\n");
    const std::string work = dir / "work";
    struct Case {
        std::vector<std::string> args;
        const char* tool;
        std::string argv, cwd;
    } cases[] = {
        {{"sz", "@ab"}, "sz", "-brNvv\na\n./-b\n", work},
        {{"sy", "@ab"}, "sz", "-brNvv\n--ymodem\na\n./-b\n", work},
        {{"sx", "in/a"}, "sz", "-brNvv\n--xmodem\nin/a\n", work},
        {{"sx", "dropped", "@dash"}, "sz", "-brNvv\n--xmodem\n./-a\n", work},
        {{"ry"}, "rz", "-bpRvv\n--ymodem\n", work},
        {{"ry", "in/x"}, "rz", "-bpRvv\n--ymodem\n", work + "/in"},
        {{"rz", "in"}, "rz", "-bpRvv\n", work + "/in"},
        // XMODEM names the file: a bare name is a file here, not a directory.
        {{"rx", "in"}, "rz", "-bpRvv\n--xmodem\nin\n", work},
        {{"rx", "in/x y"}, "rz", "-bpRvv\n--xmodem\nx y\n", work + "/in"},
        {{"rx", "/x"}, "rz", "-bpRvv\n--xmodem\nx\n", work},
        {{"rx", "in/-x"}, "rz", "-bpRvv\n--xmodem\n--\n-x\n", work + "/in"},
    };
    for (const Case& c : cases) {
        forget_last_run();
        RunResult r = vek(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << ' ' << c.args.back();
        EXPECT_EQ(recorded(std::string(c.tool) + ".args"), c.argv) << c.args[0] << ' ' << c.args.back();
        EXPECT_EQ(recorded(std::string(c.tool) + ".cwd"), c.cwd + "\n") << c.args[0] << ' ' << c.args.back();
    }
    // The level 3 message shows the command as the shell gets it.
    RunResult r = vek({"-vvv", "rx", "in/-$x"});
    EXPECT_NE(r.out.find("DEBUG: system(\"exec rz -bpRvv --xmodem -- \"-\\$x\" 2>"), std::string::npos) << r.out;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(Protocols, XmodemRefusesAnythingButOneNamedFile)
{
    write_file(dir / "work/two", "a\nb\n");
    write_file(dir / "work/none", "\n");
    const std::string send = "Fatal: Xmodem sends one file at a time!\n";
    const std::string receive = "Fatal: Xmodem receives one named file!\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"sx"}, send},
        {{"sx", "a", "b"}, send},
        {{"sx", "a", "@two"}, send},
        {{"sx", "a", "@none"}, send},
        {{"rx"}, receive},
        {{"rx", "a", "b", "c"}, receive},
        {{"rx", "absent/"}, receive},
        {{"rx", "absent/x"}, "Fatal: Cannot change to directory absent!\n"},
    };
    for (const Case& c : cases) {
        RunResult r = vek(c.args);
        EXPECT_EQ(r.status, 1) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
    }
    EXPECT_FALSE(ran("sz"));
    EXPECT_FALSE(ran("rz"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// The streams in tests/data, as the real commands wrote them, through the
// whole program: each file gets its record, the last component of its name,
// and nothing else is made or passed over.
TEST_F(Protocols, RealStreamsGiveOneRecordPerFile)
{
    env["VEKLOG"] = dir / "vek.log";
    write_file(dir / "work/blocks", "-x, 3 blocks: y\n");
    struct Case {
        std::vector<std::string> args;
        const char* stream;
        const char* create;  // the files a receive writes, or nullptr
        std::string log;
    } cases[] = {
        {{"sx", "a.bin"}, "x-send.txt", nullptr, sent("a.bin", 381)},
        {{"sx", "@blocks"}, "x-send-blocks.txt", nullptr, sent("-x, 3 blocks: y", 381)},
        {{"rx", "a.bin"}, "x-recv.txt", "a.bin", received("a.bin")},
        // The batch's closing empty "Sending: " header is no file.
        {{"sy", "a.bin", "b.bin"}, "y-send.txt", nullptr, sent("a.bin", 191) + sent("b.bin", 1023)},
        {{"ry"}, "y-recv.txt", "a.bin b.bin", received("a.bin") + received("b.bin")},
    };
    for (const Case& c : cases) {
        forget_last_run();
        std::remove((dir / "work/a.bin").c_str());
        std::remove((dir / "work/b.bin").c_str());
        env["FAKE_STDERR_FILE"] = data_file(c.stream);
        env["FAKE_CREATE"] = c.create ? c.create : "";
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "-vv");
        RunResult r = vek(args);
        EXPECT_EQ(r.status, 0) << c.stream;
        EXPECT_EQ(r.err, "") << c.stream;
        EXPECT_EQ(file_exists(dir / "vek.log") ? recorded("vek.log") : "", c.log) << c.stream;
        EXPECT_EQ(r.out.find("Passed over"), std::string::npos) << c.stream << '\n' << r.out;
    }
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

class ProtocolPairs : public RealPair {
protected:
    // An XMODEM copy: the original, then SUB bytes up to a whole 128-byte block.
    void expect_padded_copy(const std::string& copy_path, const std::string& original)
    {
        const std::string copy = read_file(copy_path);
        ASSERT_EQ(copy.size(), (original.size() + 127) / 128 * 128) << copy_path;
        EXPECT_TRUE(copy.compare(0, original.size(), original) == 0) << copy_path;
        EXPECT_EQ(copy.find_first_not_of('\x1a', original.size()), std::string::npos) << copy_path;
    }
};

TEST_F(ProtocolPairs, YmodemBatchLandsInABatchOrTheNamedDirectory)
{
    mkdir((root / "recv/in").c_str(), 0755);
    put("a.bin", random_bytes(SMALL, 1));
    put("b c", random_bytes(SMALL + 1, 2));
    put("-d", random_bytes(SMALL, 3));
    write_file(root / "send/list", "a.bin\nb c\n-d\n");
    for (const char* target : {"", "in/x"}) {
        const std::string into = root / (*target ? "recv/in" : "recv");
        std::vector<std::string> receiver{"ry"};
        if (*target)
            receiver.push_back(target);
        std::remove((root / "send.log").c_str());
        std::remove((root / "recv.log").c_str());
        auto [s, r] = run_pair(vek("send", "send.log", {"sy", "@list"}), vek("recv", "recv.log", receiver));
        for (const RunResult* side : {&s, &r})
            EXPECT_TRUE(side->status == 0 && side->err.empty() && !side->timed_out) << target << side->err;
        for (const auto& [name, data] : files) {
            EXPECT_TRUE(file_exists(into + "/" + name) && read_file(into + "/" + name) == data) << target << name;
            std::remove((into + "/" + name).c_str());
        }
        EXPECT_EQ(log("send.log"), sent("a.bin") + sent("b c") + sent("-d")) << target;
        EXPECT_EQ(log("recv.log"), received("a.bin") + received("b c") + received("-d")) << target;
        EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    }
    EXPECT_EQ(list_dir(root / "recv"), std::vector<std::string>{"in"});
}

// Each XMODEM end as vek or as the bare command.
TEST_F(ProtocolPairs, XmodemCarriesOneFileEitherWay)
{
    mkdir((root / "recv/in").c_str(), 0755);
    put("one.bin", random_bytes(SMALL, 4));
    struct Case {
        PairSide sender, receiver;
        std::string copy, send_log, recv_log;
    } cases[] = {
        {vek("send", "send.log", {"sx", "one.bin"}), vek("recv", "recv.log", {"rx", "in/got"}), "in/got",
         sent("one.bin"), received("got")},
        {vek("send", "send.log", {"sx", "one.bin"}), bare("recv", "rz -bpRvv --xmodem bare"), "bare",
         sent("one.bin"), ""},
        {bare("send", "sz -brNvv --xmodem one.bin"), vek("recv", "recv.log", {"rx", "in/-dash"}), "in/-dash", "",
         received("-dash")},
    };
    for (const Case& c : cases) {
        std::remove((root / "send.log").c_str());
        std::remove((root / "recv.log").c_str());
        auto [s, r] = run_pair(c.sender, c.receiver);
        EXPECT_FALSE(s.timed_out || r.timed_out) << c.copy;
        EXPECT_EQ(s.status, 0) << c.copy << s.err;
        EXPECT_EQ(r.status, 0) << c.copy << r.err;
        expect_padded_copy(root / ("recv/" + c.copy), files["one.bin"]);
        EXPECT_EQ(log("send.log"), c.send_log) << c.copy;
        EXPECT_EQ(log("recv.log"), c.recv_log) << c.copy;
        EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
    }
}

}  // namespace
