#include "filelist.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support.h"

namespace {

// Every piece readline gives for `text`, in order.
std::vector<std::string> pieces(const std::string& text)
{
    std::FILE* fp = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    std::vector<std::string> out;
    std::string line;
    while (readline(line, fp))
        out.push_back(line);
    std::fclose(fp);
    return out;
}

using V = std::vector<std::string>;

TEST(Readline, TrimsLineEndsAndTrailingWhiteSpaceButNeverTheFirstCharacter)
{
    EXPECT_EQ(pieces("a\nb\r\nc \t\v\f\r\n"), (V{"a", "b", "c"}));
    EXPECT_EQ(pieces("  lead  \n"), (V{"  lead"}));
    EXPECT_EQ(pieces(" \n\t \n"), (V{" ", "\t"}));
    EXPECT_EQ(pieces("\n\r\n\rx\n"), (V{"", "", ""}));  // a leading CR empties the piece
    EXPECT_EQ(pieces("a\rb\n"), (V{"a\rb"}));
    EXPECT_EQ(pieces("last"), (V{"last"}));
    EXPECT_EQ(pieces(""), V{});
}

TEST(Readline, LongLinesComeInPiecesOf1023Characters)
{
    const std::string longline(1500, 'x');
    EXPECT_EQ(pieces(longline + "\n"), (V{std::string(1023, 'x'), std::string(477, 'x')}));
    // A line of exactly 1023 characters leaves its LF as a blank piece.
    EXPECT_EQ(pieces(std::string(1023, 'y') + "\nz\n"), (V{std::string(1023, 'y'), "", "z"}));
}

TEST(ReadBatch, ReplacesNamesFromTheStartAndLeavesTheRest)
{
    TempDir dir;
    write_file(dir / "list", "\n first\r\n\n100%.zip  \n \n\nlast");
    RunSettings s;
    s.filelist = dir / "list";
    s.filename = {"a", "b", "c", "d", "e"};
    s.numfiles = 5;
    Verbosity v(3);
    testing::internal::CaptureStdout();
    read_batch(s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DEBUG: Adding file on line 0 ( first).\n"
              "DEBUG: Adding file on line 1 (100%.zip).\n"
              "DEBUG: Adding file on line 2 ( ).\n"
              "DEBUG: Adding file on line 3 (last).\n");
    EXPECT_EQ(s.numfiles, 4);
    EXPECT_EQ(s.filename, (V{" first", "100%.zip", " ", "last", "e"}));
}

TEST(ReadBatch, MissingOrUnreadableListIsFatal)
{
    TempDir dir;
    for (const std::string& path : {dir / "absent", dir.path()}) {
        RunSettings s;
        s.filelist = path;
        try {
            read_batch(s);
            ADD_FAILURE() << "no Fatal for " << path;
        } catch (const Fatal& f) {
            EXPECT_EQ(f.status, 1);
            EXPECT_EQ(f.message, "Fatal: Cannot open " + path + "!\n");
        }
    }
}

}  // namespace
