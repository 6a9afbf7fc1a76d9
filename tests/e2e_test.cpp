// Whole transfers with the real sz and rz: two copies of the program connected
// back to back, one sending and one receiving, each with its own transfer log.
#include <gtest/gtest.h>

#include <algorithm>

#include "fixtures.h"
#include "records.h"

namespace {

struct Batch {
    const char* label;
    std::vector<std::pair<std::string, size_t>> files;  // put in send/: name, size
    std::vector<std::string> sz, rz;                    // the two sides' arguments
    std::vector<std::string> moved;                     // in order: those of `files` sent and recorded
    std::string into;                                   // where in recv/ they land
};

void PrintTo(const Batch& b, std::ostream* os) { *os << b.label; }

class EndToEnd : public RealPair, public testing::WithParamInterface<Batch> {};

const std::string odd = "q$(touch pwned)\"`id`'.dat";
INSTANTIATE_TEST_SUITE_P(
    RealCommands, EndToEnd,
    testing::Values(Batch{"AwkwardNames", {{"big.bin", 4 << 20}, {"empty", 0}, {"with  blanks.txt", 70000}, {odd, 70000}},
                          {"big.bin", "empty", "with  blanks.txt", odd}, {}, {"big.bin", "empty", "with  blanks.txt", odd}, ""},
                    Batch{"FileList", {{"sub/deep.bin", 70000}, {" lead", 70000}, {"-dash", 70000}, {"not-listed", 1}},
                          {"not-listed", "@list"}, {}, {"sub/deep.bin", " lead", "-dash"}, ""},
                    Batch{"SingleReceive", {{"x.zip", 70000}}, {"x.zip"}, {"in/x.zip"}, {"x.zip"}, "in/"}),
    [](const testing::TestParamInfo<Batch>& info) { return std::string(info.param.label); });

TEST_P(EndToEnd, FilesArriveByteForByteAndBothSidesRecordThem)
{
    const Batch& b = GetParam();
    mkdir((root / "send/sub").c_str(), 0755);
    mkdir((root / "recv/in").c_str(), 0755);
    write_file(root / "send/list", "sub/deep.bin\n\n lead\r\n-dash  \n");  // for @list
    unsigned seed = 0;
    for (const auto& [name, size] : b.files)
        put(name, random_bytes(size, ++seed));
    std::vector<std::string> sz{"sz"}, rz{"rz"};
    sz.insert(sz.end(), b.sz.begin(), b.sz.end());
    rz.insert(rz.end(), b.rz.begin(), b.rz.end());

    const auto [s, r] = run_pair(vek("send", "send.log", sz), vek("recv", "recv.log", rz));
    for (const RunResult* side : {&s, &r}) {
        EXPECT_FALSE(side->timed_out);
        EXPECT_EQ(side->status, 0);
        EXPECT_EQ(side->err, "");
    }
    // Any file but an empty one moves far faster than 9999 bytes a second,
    // the cap of the rate recorded, so the records are predictable.
    std::string sent_log, received_log;
    std::vector<std::string> landed{"in"}, tree;
    for (const std::string& path : b.moved) {
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_TRUE(read_file(root / ("recv/" + b.into + name)) == files[path]) << name;
        sent_log += sent(name, files[path].empty() ? 0 : 9999);
        received_log += received(name);
        landed.push_back(b.into + name);
    }
    for (const auto& e : std::filesystem::recursive_directory_iterator(root / "recv"))
        tree.push_back(e.path().lexically_relative(root / "recv"));
    std::sort(landed.begin(), landed.end());
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, landed);
    EXPECT_EQ(log("send.log"), sent_log);
    EXPECT_EQ(log("recv.log"), received_log);
    EXPECT_FALSE(file_exists(root / "send/pwned"));
    EXPECT_FALSE(file_exists(root / "recv/pwned"));
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

// With -v too, whose lines then meet a broken pipe.
TEST_F(RealPair, PeerThatGoesAwayEndsTheRunQuietly)
{
    put("big.bin", random_bytes(1 << 20, 8));
    const PairSide gone{{"/bin/true"}, {}};
    const RunResult s = run_pair(vek("send", "send.log", {"-vv", "sz", "big.bin"}), gone).first;
    const RunResult r = run_pair(gone, vek("recv", "recv.log", {"rz"})).second;
    for (const RunResult* side : {&s, &r}) {
        EXPECT_FALSE(side->timed_out);
        EXPECT_EQ(side->status, 0);
        EXPECT_EQ(side->err, "");
    }
    EXPECT_EQ(log("send.log") + log("recv.log"), "");
    EXPECT_EQ(list_dir(root / "recv"), std::vector<std::string>{});
    EXPECT_EQ(list_dir(root / "tmp"), std::vector<std::string>{});
}

// rz -p refuses a file it already has and exits 127 itself: no "Can't run".
TEST_F(RealPair, DuplicateUploadIsRefusedQuietly)
{
    put("a.txt", "new");
    write_file(root / "recv/a.txt", "old");
    const RunResult r = run_pair(bare("send", "sz -brNvv a.txt"), vek("recv", "recv.log", {"rz"})).second;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(root / "recv/a.txt"), "old");
    EXPECT_EQ(log("recv.log"), "");
}

}  // namespace
