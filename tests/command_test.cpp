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
        // Only the counted names, in order.
        {build_send_command({"a.zip", "b c.zip", "stale"}, 2, "/tmp/.vek.tmp"),
         "sz -brNvv \"a.zip\" \"b c.zip\" 2>/tmp/.vek.tmp"},
        {build_send_command({"-x", "$y"}, 2, "/t t/l"), "sz -brNvv \"./-x\" \"\\$y\" 2>\"/t t/l\""},
    };
    for (const auto& [got, want] : cases)
        EXPECT_EQ(got, want);
}

}  // namespace
