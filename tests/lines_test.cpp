// The line harness on its own, without the program: a file crosses each kind
// of line whole between the bare commands, and the middle codes and stops as
// asked, so that a failure in a later test of the program on such a line is
// the program's and not the harness's.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "lines.h"

namespace {

struct LineCase {
    const char* label;
    LineKind kind;
    bool send_on_line;  // sz on the line and rz in the middle, or the other way round
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

class BareCommands : public RealPair, public testing::WithParamInterface<LineCase> {};

INSTANTIATE_TEST_SUITE_P(Lines, BareCommands,
                         testing::Values(LineCase{"SendOnPty", LineKind::pty, true},
                                         LineCase{"ReceiveOnPty", LineKind::pty, false},
                                         LineCase{"SendOnSocket", LineKind::socket, true}),
                         [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.label); });

TEST_P(BareCommands, FileArrivesWhole)
{
    const TimeLimit limit(10);
    const LineCase& c = GetParam();
    const std::string data = random_bytes(200 << 10, 1);
    put("a.bin", data);
    PairSide send = bare("send", "sz -brNvv", {"a.bin"}), receive = bare("recv", "rz -bpRvv");
    send.opts.timeout_seconds = receive.opts.timeout_seconds = 5;
    PairSide& on_line = c.send_on_line ? send : receive;
    PairSide& peer = c.send_on_line ? receive : send;

    const LineRun r = run_on_line(c.kind, on_line, peer);
    for (const RunResult* side : {&r.program, &r.middle.peer}) {
        EXPECT_FALSE(side->timed_out) << side->err;
        EXPECT_EQ(side->status, 0) << side->err;
    }
    EXPECT_FALSE(r.middle.timed_out);
    EXPECT_TRUE(r.middle.line_closed);
    EXPECT_EQ(arrived_whole(), std::vector<std::string>{"a.bin"});
    // The data went the way the case says: most of it from the line, or to it.
    EXPECT_GT(c.send_on_line ? r.middle.from_line : r.middle.to_line, data.size());
    // sz's closing "OO" comes last. On a pty, sz's own flush as it ends
    // (TCIOFLUSH) drops them in most runs, so only a socket is sure to carry them.
    if (c.send_on_line && c.kind != LineKind::pty) {
        EXPECT_TRUE(r.middle.tail.ends_with("OO")) << testing::PrintToString(r.middle.tail);
    }
}

// The middle's own coding, through a socket line, in both directions at once:
// what each side gets it writes to its standard error.
TEST(LinesMiddle, CodesAndStopsAsAsked)
{
    const TimeLimit limit(10);
    struct Case {
        const char* label;
        MiddleOptions options;
        const char *line_side, *peer_side;
        std::string line_got, peer_got, tail;
    } cases[] = {
        {"plain", {}, "printf 'a\\377\\377b'; head -c 3 >&2", "printf 'x\\377y'; cat >&2", "x\xffy",
         "a\xff\xff" "b", "a\xff\xff" "b"},
        // IAC IAC, WILL 1, SB 24 1 IAC IAC IAC SE, NOP, DO 255.
        {"telnet", {true},
         "printf 'a\\377\\377b\\377\\373\\001c\\377\\372\\030\\001\\377\\377\\377\\360d\\377\\361e\\377\\375\\377f';"
         " head -c 4 >&2",
         "printf 'x\\377y'; cat >&2", "x\xff\xffy", "a\xff" "bcdef",
         "a\xff\xff" "b\xff\xfb\x01" "c\xff\xfa\x18\x01\xff\xff\xff\xf0" "d\xff\xf1" "e\xff\xfd\xff" "f"},
        {"read limit", {false, 2}, "printf abcdef", "head -c 2 >&2", "", "ab", "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RunOptions opts{base_env(), "", 5, {}};
        const LineRun r = run_on_line(LineKind::socket, {{"/bin/sh", "-c", c.line_side}, opts},
                                      {{"/bin/sh", "-c", c.peer_side}, opts}, c.options);
        EXPECT_EQ(r.program.status, 0);
        EXPECT_EQ(r.middle.peer.status, 0);
        EXPECT_FALSE(r.middle.timed_out);
        EXPECT_EQ(r.program.err, c.line_got);
        EXPECT_EQ(r.middle.peer.err, c.peer_got);
        EXPECT_EQ(r.middle.tail, c.tail);
    }
}

}  // namespace
