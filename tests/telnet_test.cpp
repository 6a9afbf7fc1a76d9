#include "telnet.h"

#include <gtest/gtest.h>

#include <random>


namespace {

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += static_cast<char>(b);
    return s;
}

constexpr int IAC = 255, SE = 240, NOP = 241, GA = 249, SB = 250, WILL = 251, WONT = 252, DO = 253,
              DONT = 254;

std::string decode(TelnetDecoder& d, std::string in)
{
    in.resize(d.decode(in, in));  // in place, as the relay does
    return in;
}

std::string encode(const std::string& in)
{
    std::string out(2 * in.size(), '\0');
    out.resize(telnet_encode(in, out));
    return out;
}

// 0xFF-dense: every fourth byte, and a run of 10,000 in the middle.
std::string dense_data(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(i % 4 == 3 ? 0xff : rng() & 0xff);
    s.replace(size / 2, 10000, 10000, '\xff');
    return s;
}

TEST(TelnetDecoder, RemovesEveryCommandAtEverySplitPoint)
{
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {bytes({'a', IAC, IAC, 'b'}), bytes({'a', IAC, 'b'})},
        {bytes({IAC, IAC, IAC, IAC, IAC, DO, 1, IAC, IAC}), bytes({IAC, IAC, IAC})},
        // The option byte goes whatever it is, 0xFF included.
        {bytes({'a', IAC, WILL, 1, 'b', IAC, WONT, 3, IAC, DO, 24, IAC, DONT, IAC, 'c'}), "abc"},
        {bytes({'a', IAC, SB, 24, 1, IAC, SE, 'b'}), "ab"},
        {bytes({'a', IAC, SB, 24, IAC, IAC, SE, 'x', IAC, SE, 'b'}), "ab"},
        // A subnegotiation cut short by another command ends there.
        {bytes({IAC, SB, 24, 'x', IAC, NOP, 'd'}), "d"},
        {bytes({IAC, SB, 24, 'x', IAC, DO, 1, 'd'}), "d"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (int c = SE; c <= GA; ++c)  // SE alone, NOP, DM, BRK, IP, AO, AYT, EC, EL, GA
        all.push_back({bytes({'a', IAC, c, 'b'}), "ab"});

    for (const Case& c : all) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        for (size_t cut = 0; cut <= c.in.size(); ++cut) {
            TelnetDecoder d;
            std::string out = decode(d, c.in.substr(0, cut));
            out += decode(d, c.in.substr(cut));
            EXPECT_EQ(out, c.out) << "cut at " << cut;
            EXPECT_FALSE(d.inside_command());
        }
        TelnetDecoder d;
        std::string out;
        for (char b : c.in)
            out += decode(d, std::string(1, b));
        EXPECT_EQ(out, c.out) << "byte by byte";
    }
}

TEST(TelnetDecoder, StreamMayEndInsideACommand)
{
    for (const std::string& tail : {bytes({IAC}), bytes({IAC, DO}), bytes({IAC, SB, 24, 'x'}),
                                    bytes({IAC, SB, 24, IAC})}) {
        TelnetDecoder d;
        EXPECT_EQ(decode(d, "ok" + tail), "ok");
        EXPECT_TRUE(d.inside_command());
    }
}

TEST(TelnetEncoder, DoublesEveryFFAndRoundTripsExactly)
{
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode(bytes({'a', IAC, 'b', IAC, IAC})), bytes({'a', IAC, IAC, 'b', IAC, IAC, IAC, IAC}));

    const std::string data = dense_data(1 << 20, 1);
    const std::string coded = encode(data);
    EXPECT_EQ(coded.size(), data.size() + static_cast<size_t>(std::count(data.begin(), data.end(), '\xff')));
    std::mt19937 rng(2);
    TelnetDecoder d;
    std::string back;
    for (size_t at = 0; at < coded.size();) {
        const size_t n = std::min<size_t>(rng() % 5000, coded.size() - at);
        back += decode(d, coded.substr(at, n));
        at += n;
    }
    EXPECT_TRUE(back == data);
}

}  // namespace
