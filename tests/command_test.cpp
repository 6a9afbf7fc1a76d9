#include "command.h"

#include <gtest/gtest.h>

namespace {

TEST(Command, NamesAreQuotedSoTheShellPassesThemByteForByte)
{
    EXPECT_EQ(quote_name("a b.zip"), "\"a b.zip\"");
    EXPECT_EQ(quote_name(""), "\"\"");
    EXPECT_EQ(quote_name("q$(id)\"`x`\\n'"), "\"q\\$(id)\\\"\\`x\\`\\\\n'\"");
    EXPECT_EQ(send_operand("-rf"), "\"./-rf\"");
    EXPECT_EQ(send_operand("-"), "\"./-\"");
    EXPECT_EQ(send_operand("a-b"), "\"a-b\"");
    EXPECT_EQ(send_operand("/abs/-x"), "\"/abs/-x\"");
}

TEST(Command, LogPathIsQuotedOnlyWhenItNeedsIt)
{
    EXPECT_EQ(quote_log_path("/tmp/.vek.tmp.Ab12_Z"), "/tmp/.vek.tmp.Ab12_Z");
    EXPECT_EQ(quote_log_path("/a-b/+c,d:e@f%g=h/.vek.tmp"), "/a-b/+c,d:e@f%g=h/.vek.tmp");
    EXPECT_EQ(quote_log_path("/my tmp/.vek.tmp"), "\"/my tmp/.vek.tmp\"");
    EXPECT_EQ(quote_log_path("/t$x/`y`/.vek.tmp"), "\"/t\\$x/\\`y\\`/.vek.tmp\"");
    EXPECT_EQ(quote_log_path("/~/.vek.tmp"), "\"/~/.vek.tmp\"");
    EXPECT_EQ(quote_log_path("/t\xc3\xa9/.vek.tmp"), "\"/t\xc3\xa9/.vek.tmp\"");
}

TEST(Command, SendCommandTakesTheCountedNamesInOrder)
{
    EXPECT_EQ(build_send_command({}, 0, "/tmp/.vek.tmp"), "sz -brNvv 2>/tmp/.vek.tmp");
    EXPECT_EQ(build_send_command({"a.zip", "b c.zip", "stale"}, 2, "/tmp/.vek.tmp"),
              "sz -brNvv \"a.zip\" \"b c.zip\" 2>/tmp/.vek.tmp");
    EXPECT_EQ(build_send_command({"-x", "$y"}, 2, "/t t/l"),
              "sz -brNvv \"./-x\" \"\\$y\" 2>\"/t t/l\"");
}

TEST(Command, ReceiveCommandNeverCarriesNames)
{
    EXPECT_EQ(build_receive_command("/tmp/.vek.tmp"), "rz -bpRvv 2>/tmp/.vek.tmp");
    EXPECT_EQ(build_receive_command("/a b/.vek.tmp"), "rz -bpRvv 2>\"/a b/.vek.tmp\"");
}

TEST(Command, TargetDirectoryIsTheNameCutAtItsLastSlash)
{
    EXPECT_EQ(target_directory("/home/u/in/x.zip"), "/home/u/in");
    EXPECT_EQ(target_directory("in/"), "in");
    EXPECT_EQ(target_directory("in"), "in");
    EXPECT_EQ(target_directory("/x.zip"), "");
    EXPECT_EQ(target_directory("a//b"), "a/");
    EXPECT_EQ(target_directory(""), "");
}

TEST(Command, EachProtocolAddsItsFlagAndXmodemReceiveNamesItsFile)
{
    const std::vector<std::string> names{"a", "-b"};
    EXPECT_EQ(build_send_command(names, 2, "/l", PROTO_YMODEM), "sz -brNvv --ymodem \"a\" \"./-b\" 2>/l");
    EXPECT_EQ(build_send_command(names, 1, "/l", PROTO_XMODEM), "sz -brNvv --xmodem \"a\" 2>/l");
    EXPECT_EQ(build_receive_command("/l", PROTO_YMODEM, "ignored"), "rz -bpRvv --ymodem 2>/l");
    EXPECT_EQ(build_receive_command("/l", PROTO_ZMODEM, "ignored"), "rz -bpRvv 2>/l");
    EXPECT_EQ(build_receive_command("/l", PROTO_XMODEM, "x y$"), "rz -bpRvv --xmodem \"x y\\$\" 2>/l");
    // rz refuses an XMODEM name that begins with ".", so no "./" here.
    EXPECT_EQ(build_receive_command("/l", PROTO_XMODEM, "-x"), "rz -bpRvv --xmodem -- \"-x\" 2>/l");
    EXPECT_EQ(receive_operand("a-"), "\"a-\"");
}

TEST(Command, XmodemCarriesOneFileAndTheReceiverNamesIt)
{
    EXPECT_TRUE(send_fits(PROTO_XMODEM, {"a", "stale"}, 1));
    EXPECT_FALSE(send_fits(PROTO_XMODEM, {"a", "b"}, 2));
    EXPECT_FALSE(send_fits(PROTO_XMODEM, {}, 0));
    EXPECT_TRUE(send_fits(PROTO_YMODEM, {"a", "b"}, 2));
    EXPECT_TRUE(send_fits(PROTO_ZMODEM, {}, 0));

    struct Case {
        int proto;
        const char* name;
        const char* dir;
        const char* file;
    } cases[] = {
        {PROTO_XMODEM, "in/x.bin", "in", "x.bin"},
        {PROTO_XMODEM, "x.bin", "", "x.bin"},
        {PROTO_XMODEM, "/x.bin", "", "x.bin"},
        {PROTO_XMODEM, "a//b", "a/", "b"},
        {PROTO_XMODEM, "in/", "in", ""},
        {PROTO_XMODEM, "", "", ""},
        {PROTO_YMODEM, "in/x.bin", "in", ""},
        {PROTO_YMODEM, "x.bin", "x.bin", ""},
    };
    for (const Case& c : cases) {
        const ReceivePlace place = receive_place(c.proto, c.name);
        EXPECT_EQ(place.dir, c.dir) << c.name;
        EXPECT_EQ(place.file, c.file) << c.name;
    }
}

}  // namespace
