// Whole transfers with the real sz and rz: two copies of the program connected
// back to back, one sending and one receiving, each with its own transfer log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "pair.h"
#include "records.h"
#include "support.h"

namespace {

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

// A sender rate well above the cap: files of this size move far faster than
// 9999 bytes a second, so their records are predictable.
constexpr size_t SMALL = 70000;

class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* d : {"send", "recv", "tmp"})
            mkdir((root / d).c_str(), 0755);
    }

    PairSide side(const std::string& cwd, const std::string& veklog,
                  std::vector<std::string> args)
    {
        args.insert(args.begin(), vek_binary());
        PairSide p{args, {}};
        p.opts.env = base_env();
        p.opts.env["TMP"] = root / "tmp";  // shared, as by the nodes of one host
        p.opts.env["VEKLOG"] = root / veklog;
        p.opts.cwd = root / cwd;
        p.opts.timeout_seconds = 60;
        return p;
    }

    void put(const std::string& name, const std::string& data)
    {
        files[name] = data;
        write_file(root / ("send/" + name), data);
    }

    std::string log(const std::string& name)
    {
        return file_exists(root / name) ? read_file(root / name) : "";
    }

    static void expect_clean_run(const RunResult& r, const char* who)
    {
        EXPECT_FALSE(r.timed_out) << who;
        EXPECT_EQ(r.status, 0) << who;
        EXPECT_EQ(r.err, "") << who;
    }

    TempDir root;
    std::map<std::string, std::string> files;
};

TEST_F(EndToEnd, BatchOfAwkwardNamesArrivesByteForByte)
{
    const std::string odd = "q$(touch pwned)\"`id`'.dat";
    put("big.bin", random_bytes(4 << 20, 1));
    put("empty", "");
    put("with  blanks.txt", random_bytes(SMALL, 2));
    put(odd, random_bytes(SMALL, 3));

    auto [s, r] = run_pair(side("send", "send.log", {"sz", "big.bin", "empty", "with  blanks.txt", odd}),
                           side("recv", "recv.log", {"rz"}));
    expect_clean_run(s, "sender");
    expect_clean_run(r, "receiver");

    EXPECT_EQ(list_dir(root / "recv"), (std::vector<std::string>{"big.bin", "empty", odd,
                                                                 "with  blanks.txt"}));
    for (const auto& [name, data] : files)
        EXPECT_TRUE(read_file(root / ("recv/" + name)) == data) << name;
    EXPECT_EQ(log("send.log"),
              sent("big.bin") + sent("empty", 0) + sent("with  blanks.txt") + sent(odd));
    EXPECT_EQ(log("recv.log"),
              received("big.bin") + received("empty") + received("with  blanks.txt") +
                  received(odd));
    EXPECT_FALSE(file_exists(root / "send/pwned"));
    EXPECT_FALSE(file_exists(root / "recv/pwned"));
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

TEST_F(EndToEnd, FileListSendsItsNames)
{
    mkdir((root / "send/sub").c_str(), 0755);
    put("sub/deep.bin", random_bytes(SMALL, 4));
    put(" lead", random_bytes(SMALL, 5));
    put("-dash", random_bytes(SMALL, 6));
    put("not-listed", "x");
    write_file(root / "send/list", "sub/deep.bin\n\n lead\r\n-dash  \n");

    auto [s, r] = run_pair(side("send", "send.log", {"sz", "not-listed", "@list"}),
                           side("recv", "recv.log", {"rz"}));
    expect_clean_run(s, "sender");
    expect_clean_run(r, "receiver");

    EXPECT_EQ(list_dir(root / "recv"), (std::vector<std::string>{" lead", "-dash", "deep.bin"}));
    EXPECT_TRUE(read_file(root / "recv/deep.bin") == files["sub/deep.bin"]);
    EXPECT_TRUE(read_file(root / "recv/ lead") == files[" lead"]);
    EXPECT_TRUE(read_file(root / "recv/-dash") == files["-dash"]);
    EXPECT_EQ(log("send.log"), sent("deep.bin") + sent(" lead") + sent("-dash"));
    EXPECT_EQ(log("recv.log"), received("deep.bin") + received(" lead") + received("-dash"));
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

TEST_F(EndToEnd, SingleReceiveLandsInTheTargetDirectory)
{
    mkdir((root / "recv/in").c_str(), 0755);
    put("x.zip", random_bytes(SMALL, 7));

    auto [s, r] = run_pair(side("send", "send.log", {"sz", "x.zip"}),
                           side("recv", "recv.log", {"rz", "in/x.zip"}));
    expect_clean_run(s, "sender");
    expect_clean_run(r, "receiver");

    EXPECT_EQ(list_dir(root / "recv"), std::vector<std::string>{"in"});
    EXPECT_EQ(list_dir(root / "recv/in"), std::vector<std::string>{"x.zip"});
    EXPECT_TRUE(read_file(root / "recv/in/x.zip") == files["x.zip"]);
    EXPECT_EQ(log("send.log"), sent("x.zip"));
    EXPECT_EQ(log("recv.log"), received("x.zip"));
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

TEST_F(EndToEnd, PeerThatGoesAwayEndsTheRunQuietly)
{
    put("big.bin", random_bytes(1 << 20, 8));
    PairSide gone{{"/bin/true"}, {}};
    gone.opts.env = base_env();
    auto [s, p] = run_pair(side("send", "send.log", {"sz", "big.bin"}), gone);
    expect_clean_run(s, "sender");
    auto [p2, r] = run_pair(gone, side("recv", "recv.log", {"rz"}));
    expect_clean_run(r, "receiver");

    EXPECT_EQ(log("send.log"), "");
    EXPECT_EQ(log("recv.log"), "");
    EXPECT_EQ(list_dir(root / "recv"), std::vector<std::string>{});
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

}  // namespace
