// rz made the receiver a YMODEM-G sender expects: what reaches rz, and what
// reaches the sender, for a batch that streams in faster than rz answers.
#include <gtest/gtest.h>

#include "ymodemg.h"

namespace {

// A block as the sender frames it (the CRC is not looked at here).
std::string block(int number, const std::string& data, size_t size = 128)
{
    std::string b{static_cast<char>(size == 128 ? 1 : 2), static_cast<char>(number), static_cast<char>(255 - number)};
    return b + data + std::string(size - data.size(), '\0') + "cc";
}

const std::string header = block(0, std::string("a.bin\0" "3000", 10)), last = block(0, "");
const std::string one = block(1, "x", 1024), two = block(2, "y", 1024);
constexpr char EOT = 4, ACK = 6, NAK = 0x15, CAN = 0x18;

TEST(StreamingReceive, RzGetsOneBlockAtATimeAndTheSenderOnlyWhatItWaitsFor)
{
    StreamingReceive g;
    // Each step: what the sender sent, what rz answered; then what rz was
    // given and what the sender got.
    const struct Step {
        std::string sent, answered, to_rz, to_sender;
    } steps[] = {
        {"", "C", "", "G"},
        {header, "", header, ""},
        {"", std::string{ACK} + "C", "", "G"},
        {one + two + EOT, "", one, ""},  // streamed: held for rz
        {"", std::string{ACK}, two, ""},
        {"", std::string{ACK}, std::string{EOT}, ""},
        {"", std::string{ACK} + "C", "", std::string{ACK} + "G"},  // the end of the file is answered
        {last, "", last, ""},
        {"", std::string{ACK}, "", std::string{ACK}},  // and the end of the batch
    };
    for (const Step& s : steps) {
        g.from_sender(s.sent);
        std::string to_sender = g.to_sender(s.answered);
        EXPECT_EQ(g.next_for_command(), s.to_rz) << s.answered;
        EXPECT_EQ(to_sender, s.to_sender);
    }
    EXPECT_EQ(g.held(), 0u);
    EXPECT_FALSE(g.repeat_asked());
}

TEST(StreamingReceive, ABlockRzWouldHaveAgainCancelsTheSender)
{
    StreamingReceive g;
    g.from_sender(header);
    EXPECT_EQ(g.next_for_command(), header);
    EXPECT_EQ(g.to_sender(std::string{ACK} + "C"), "G");
    g.from_sender(one + std::string(3, CAN));  // a cancel between blocks goes at once
    EXPECT_EQ(g.next_for_command(), one + std::string(3, CAN));
    EXPECT_EQ(g.to_sender(std::string{NAK}), std::string(5, CAN));
    EXPECT_TRUE(g.repeat_asked());
}

}  // namespace
