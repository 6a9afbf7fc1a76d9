#include "command.h"

#include <gtest/gtest.h>

namespace {

// The text work, byte for byte; that the shell then passes each name on
// unchanged is seen in the runs with the fake and the real commands.
TEST(Command, QuotingAndTheSendCommand)
{
    const std::pair<std::string, std::string> cases[] = {
        {quote_name("a b.zip"), "\"a b.zip\""},
        {quote_name(""), "\"\""},
        {quote_name("q$(id)\"`x`\\n'"), "\"q\\$(id)\\\"\\`x\\`\\\\n'\""},
        // A name that starts with a dash cannot be taken for an option.
        {send_operand("-rf"), "\"./-rf\""},
        {send_operand("-"), "\"./-\""},
        {send_operand("a-b"), "\"a-b\""},
        {send_operand("/abs/-x"), "\"/abs/-x\""},
        // The log path is quoted only when it needs it.
        {quote_log_path("/tmp/.vek.tmp.Ab12_Z"), "/tmp/.vek.tmp.Ab12_Z"},
        {quote_log_path("/a-b/+c,d:e@f%g=h/.vek.tmp"), "/a-b/+c,d:e@f%g=h/.vek.tmp"},
        {quote_log_path("/my tmp/.vek.tmp"), "\"/my tmp/.vek.tmp\""},
        {quote_log_path("/t$x/`y`/.vek.tmp"), "\"/t\\$x/\\`y\\`/.vek.tmp\""},
        {quote_log_path("/~/.vek.tmp"), "\"/~/.vek.tmp\""},
        {quote_log_path("/t\xc3\xa9/.vek.tmp"), "\"/t\xc3\xa9/.vek.tmp\""},
        {build_send_command({"a.zip", "b c.zip"}, "/tmp/.vek.tmp"),
         "sz -brNvv \"a.zip\" \"b c.zip\" 2>/tmp/.vek.tmp"},
        {build_send_command({"-x", "$y"}, "/t t/l"), "sz -brNvv \"./-x\" \"\\$y\" 2>\"/t t/l\""},
    };
    for (const auto& [got, want] : cases)
        EXPECT_EQ(got, want);
}

TEST(Command, EachProtocolAddsItsFlagAndXmodemReceiveNamesItsFile)
{
    const std::vector<std::string> names{"a", "-b"};
    EXPECT_EQ(build_send_command(names, "/l", Protocol::ymodem), "sz -brNvv --ymodem \"a\" \"./-b\" 2>/l");
    EXPECT_EQ(build_send_command({"a"}, "/l", Protocol::xmodem), "sz -brNvv --xmodem \"a\" 2>/l");
    EXPECT_EQ(build_receive_command("/l", Protocol::ymodem, "ignored"), "rz -bpRvv --ymodem 2>/l");
    EXPECT_EQ(build_receive_command("/l", Protocol::zmodem, "ignored"), "rz -bpRvv 2>/l");
    EXPECT_EQ(build_receive_command("/l", Protocol::xmodem, "x y$"), "rz -bpRvv --xmodem \"x y\\$\" 2>/l");
    // rz refuses an XMODEM name that begins with ".", so no "./" here.
    EXPECT_EQ(build_receive_command("/l", Protocol::xmodem, "-x"), "rz -bpRvv --xmodem -- \"-x\" 2>/l");
    EXPECT_EQ(receive_operand("a-"), "\"a-\"");
}

TEST(Command, XmodemCarriesOneFileAndTheReceiverNamesIt)
{
    EXPECT_TRUE(send_fits(Protocol::xmodem, {"a"}));
    EXPECT_FALSE(send_fits(Protocol::xmodem, {"a", "b"}));
    EXPECT_FALSE(send_fits(Protocol::xmodem, {}));
    EXPECT_TRUE(send_fits(Protocol::ymodem, {"a", "b"}));
    EXPECT_TRUE(send_fits(Protocol::zmodem, {}));

    struct Case {
        Protocol proto;
        const char* name;
        const char* dir;
        const char* file;
    } cases[] = {
        {Protocol::xmodem, "in/x.bin", "in", "x.bin"},
        {Protocol::xmodem, "x.bin", "", "x.bin"},
        {Protocol::xmodem, "/x.bin", "", "x.bin"},
        {Protocol::xmodem, "a//b", "a/", "b"},
        {Protocol::xmodem, "in/", "in", ""},
        {Protocol::xmodem, "", "", ""},
        {Protocol::ymodem, "in/x.bin", "in", ""},
        {Protocol::ymodem, "x.bin", "x.bin", ""},
    };
    for (const Case& c : cases) {
        const ReceivePlace place = receive_place(c.proto, c.name);
        EXPECT_EQ(place.dir, c.dir) << c.name;
        EXPECT_EQ(place.file, c.file) << c.name;
    }
}

}  // namespace
