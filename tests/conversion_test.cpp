#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "moved.h"
#include "records.h"
#include "support.h"
#include "translog.h"

namespace {

const std::string a_record = sent("a.bin");

// Feeds `text` through a conversion in reads of at most `piece` bytes, as the
// capture does, and returns it for a look at what it kept.
struct Converted {
    std::string first_line;
    int passed_over;
};

Converted convert(std::optional<std::string> veklog, const std::string& text, RecordCheck moved = {},
                  size_t piece = 4096)
{
    if (!moved)
        moved = [](const TransferLogRecord&) { return true; };
    LogConversion c(std::move(veklog), moved);
    for (size_t at = 0; at < text.size(); at += piece)
        c.feed(std::string_view(text).substr(at, piece));
    return {c.first_line(), c.passed_over()};
}

TEST(Conversion, AppendsRecordsAsTheyComplete)
{
    TempDir dir;
    write_file(dir / "vek.log", "earlier record\n");
    {
        LogConversion c(dir / "vek.log", [](const TransferLogRecord&) { return true; });
        std::string expected = "earlier record\n";
        for (int file = 0; file < 2; ++file) {
            c.feed(sz_text);
            // Each file's record is in the log before the next file's bytes come.
            expected += a_record;
            EXPECT_EQ(read_file(dir / "vek.log"), expected);
        }
    }
    convert((dir / "vek.log"), sz_text, {}, 7);
    EXPECT_EQ(read_file(dir / "vek.log"), "earlier record\n" + a_record + a_record + a_record);

    // A new transfer log is created as the umask allows.
    mode_t old = umask(027);
    convert((dir / "new.log"), sz_text);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((dir / "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Conversion, FirstLineAndPassedOverRecords)
{
    TempDir dir;
    const std::string text = "sh: 1: sz: not found\n" + sz_text + sz_text;
    const std::nullopt_t none = std::nullopt;  // no transfer log: the bytes are dropped, the first line kept
    for (size_t piece : {size_t{1}, size_t{5}, size_t{4096}}) {
        EXPECT_EQ(convert(none, text, {}, piece).first_line, "sh: 1: sz: not found") << piece;
        EXPECT_EQ(convert((dir / "v.log"), text, {}, piece).first_line, "sh: 1: sz: not found");
    }
    EXPECT_FALSE(file_exists(dir / "x.log"));
    const Converted c = convert((dir / "x.log"), text, sent_check({}));
    EXPECT_EQ(c.passed_over, 2);
    EXPECT_EQ(read_file(dir / "x.log"), "");
    // A name given once has one record; given twice, two.
    EXPECT_EQ(convert((dir / "y.log"), text, sent_check({"other/a.bin"})).passed_over, 1);
    EXPECT_EQ(convert((dir / "y.log"), text, sent_check({"other/a.bin", "a.bin"})).passed_over, 0);
    EXPECT_EQ(read_file(dir / "y.log"), a_record + a_record + a_record);
}

// A receive record names a file reached beneath rz's directory without a
// symlink, and each file once, whatever name a record gives it.
TEST(Conversion, ReceiveRecordsNameFilesBeneathTheDirectoryOnce)
{
    TempDir dir;
    mkdir((dir / "in").c_str(), 0755);
    mkdir((dir / "in/sub").c_str(), 0755);
    write_file(dir / "in/sub/f", "");
    write_file(dir / "outside", "");
    symlink("sub", (dir / "in/link").c_str());
    ReceivedFiles in(dir / "in", file_clock_now(), "");
    const std::string never[] = {"../outside", dir / "outside", "sub/../../outside", "link/f", "sub"};
    for (const std::string& name : never)
        EXPECT_FALSE(in.believe({'R', 0, name})) << name;
    EXPECT_TRUE(in.believe({'R', 0, "sub/f"}));
    EXPECT_FALSE(in.believe({'R', 0, "./sub/f"}));
}

}  // namespace
