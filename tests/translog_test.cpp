#include "chunk.h"

#include <strings.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "logscan.h"
#include "records.h"

namespace {

// Feeds a string to scan_log in pieces of a chosen size.
struct Feed {
    std::string_view data;
    size_t piece = SIZE_MAX;
    size_t pos = 0;
    long operator()(std::span<char> room)
    {
        size_t n = std::min({piece, room.size(), data.size() - pos});
        std::memcpy(room.data(), data.data() + pos, n);
        pos += n;
        return static_cast<long>(n);
    }
};

std::string scan(std::string_view log, size_t piece = SIZE_MAX, size_t capacity = ChunkReader::default_capacity)
{
    std::string out;
    Feed feed{log, piece};
    scan_log(feed, [&](const TransferLogRecord& r) { out += format_record(r); }, capacity);
    return out;
}

// The conversion a character at a time through stdio and the C library's
// string functions: the yardstick for the block-wise scanner.
std::string reference(const std::string& log)
{
    std::string out;
    if (log.empty())
        return out;
    FILE* fp = fmemopen(const_cast<char*>(log.data()), log.size(), "rb");
    std::string raw, line, file;  // a chunk as read; a header's line while it goes on
    bool by_length = false, continuing = false, name_ended = false;
    int action = 0, done = 0, bytes = 0, bps = 0;
    size_t prefix = 0;
    auto next = [&] {
        raw.clear();
        int c = 0;
        while (raw.size() < 255 && (c = std::fgetc(fp)) != EOF && c != '\r' && c != '\n')
            raw += static_cast<char>(c);
        by_length = raw.size() == 255;
    };
    auto strip = [](std::string t) {
        while (t.size() > 1 && std::isspace(static_cast<unsigned char>(t.back())))
            t.pop_back();
        return t;
    };
    auto name_of = [&](const std::string& l) {
        const std::string t = strip(l);
        return t.size() > prefix ? t.substr(prefix) : "";
    };
    next();
    while (!std::feof(fp)) {
        const std::string text = raw.c_str();
        if (continuing) {
            if (!name_ended)
                line += text;
            name_ended = name_ended || text.size() < raw.size();
            continuing = by_length;
            if (!continuing)
                file = name_of(line);
        } else if (strncasecmp(text.c_str(), "Sending", 7) == 0 || strncasecmp(text.c_str(), "Receiving", 9) == 0) {
            action = text[0] == 'S' || text[0] == 's' ? 1 : 2;
            prefix = action == 1 ? 9 : 11;
            done = 1;
            name_ended = text.size() < raw.size();
            continuing = by_length;
            line = text;
            file = name_of(line);
        } else if (std::strstr(text.c_str(), "Bytes") && !std::strstr(text.c_str(), "ETA")) {
            ++done;
            std::sscanf(strip(text).c_str(), "Bytes Sent: %d BPS:%d", &bytes, &bps);
        }
        next();
        if (done == 2) {
            done = 0;
            if (static_cast<unsigned>(bps) > 9999)
                bps = 9999;
            char rec[max_header + 100];
            std::snprintf(rec, sizeof rec, "%c  99999 38400 bps %-4d cps   0 errors    66 1024 %s -1\n",
                          action == 1 ? 'S' : 'R', bps, file.c_str());
            out += rec;
        }
    }
    std::fclose(fp);
    return out;
}

std::vector<std::string> cut_all(const std::string& in, std::string* rest = nullptr)
{
    std::vector<std::string> chunks;
    std::string_view left = in;
    for (ChunkCut c; (c = readchunk(left)).complete; left.remove_prefix(c.consumed))
        chunks.emplace_back(c.text);
    if (rest)
        *rest = left;
    return chunks;
}

TEST(ReadChunk, EndsAtCrLfAndAfter255Bytes)
{
    const std::string x255(255, 'x');
    struct Case {
        std::string in;
        std::vector<std::string> chunks;
        std::string rest;  // the unfinished chunk left at the end
    } cases[] = {
        {"a\rb\nc", {"a", "b"}, "c"},
        {"a\r\nb\n", {"a", "", "b"}, ""},
        {"\n\r\r", {"", "", ""}, ""},
        {std::string(254, 'x') + "\n", {std::string(254, 'x')}, ""},
        {x255 + "\n", {x255, ""}, ""},  // the line end after 255 bytes makes a chunk of its own
        {x255 + "yz\r", {x255, "yz"}, ""},
        {x255, {x255}, ""},  // complete without seeing what follows
        {std::string("a\0b\rc\0", 6), {std::string("a\0b", 3)}, std::string("c\0", 2)},
    };
    for (const Case& c : cases) {
        std::string rest;
        EXPECT_EQ(cut_all(c.in, &rest), c.chunks) << c.in;
        EXPECT_EQ(rest, c.rest) << c.in;
    }
    EXPECT_TRUE(readchunk(std::string_view("a\0b\n", 4)).has_nul);
    EXPECT_FALSE(readchunk("ab\n").has_nul);
}

TEST(ReadChunk, RstripKeepsTheFirstCharacter)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {" ", " "}, {"\t\t", "\t"}, {"a \t\v\f\r\n", "a"}, {" a b  ", " a b"}, {"ab", "ab"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(rstrip(in), out) << '"' << in << '"';
    EXPECT_EQ(chunk_text(std::string_view("ab\0cd", 5)), "ab");
}

// The reader's block-wise cutting must give what readchunk gives, wherever
// refills fall, on lines of every length around the block and chunk limits.
TEST(ChunkReader, AgreesWithReadChunk)
{
    std::mt19937 rng(7);
    const size_t lengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 200, 254, 255, 256, 509, 510, 511, 700};
    const char odd[] = {' ', '\t', '\0', '\xe9'};
    const char* ends[] = {"\r", "\n", "\r\n"};
    for (int round = 0; round < 300; ++round) {
        std::string in;
        while (in.size() < 3000) {
            const size_t len = rng() % 2 ? lengths[rng() % std::size(lengths)] : rng() % 80;
            for (size_t i = 0; i < len; ++i)
                in += rng() % 50 ? 'x' : odd[rng() % std::size(odd)];
            in += ends[rng() % 3];
        }
        in.resize(in.size() - rng() % 300);
        std::vector<std::pair<std::string, bool>> want, got;
        std::string_view left = in;
        for (ChunkCut c; (c = readchunk(left)).complete; left.remove_prefix(c.consumed))
            want.emplace_back(c.text, c.has_nul);
        ChunkReader reader(rng() % 2 ? 1024 : 4096);
        Feed feed{in, 1 + rng() % 900};
        for (;;) {
            while (std::optional<ChunkCut> c = reader.next())
                got.emplace_back(c->text, c->has_nul);
            long n = feed(reader.space());
            if (n == 0)
                break;
            reader.commit(static_cast<size_t>(n));
        }
        ASSERT_EQ(got, want) << "round " << round;
    }
}

TEST(ByteCount, ParsesAsTheCLibraryDoes)
{
    std::vector<std::string> cases = {
        "Bytes Sent:  1000   BPS:12", "Bytes Sent:1 BPS:2", "BytesSent:1BPS:2", "Bytes  \t Sent:\v-5 BPS:+7",
        "Bytes Sent: 5000   BPS:", "Bytes Sent: x BPS:3", "Bytes received:    5000/   5000   BPS:23912793",
        "Bytes Sent: 4294967296 BPS:4294967295", "Bytes Sent: 99999999999999999999 BPS:-99999999999999999999",
        "Bytes Sent: -9223372036854775808 BPS:9223372036854775807", "Bytes Sent: - BPS:1", "Bytes Sent: 12 bps:3",
        " Bytes Sent: 1 BPS:2", "Bytes Sent: 007 BPS: 0x10", "", "Bytes", "Bytes Sent: 1",
    };
    std::mt19937 rng(11);
    const char* parts[] = {"Bytes", " ", "Sent:", "BPS:", "\t", "-", "+", "9", "12", "x", "4294967295", ""};
    for (int i = 0; i < 3000; ++i) {
        std::string s;
        for (int k = 0; k < 8; ++k)
            s += parts[rng() % 12];
        cases.push_back(s);
    }
    for (const std::string& s : cases) {
        int want_bytes = -17, want_bps = -18;
        uint32_t bytes = static_cast<uint32_t>(-17), bps = static_cast<uint32_t>(-18);
        int want = std::sscanf(s.c_str(), "Bytes Sent: %d BPS:%d", &want_bytes, &want_bps);
        EXPECT_EQ(parse_byte_count(s, bytes, bps), std::max(want, 0)) << s;
        EXPECT_EQ(bytes, static_cast<uint32_t>(want_bytes)) << s;
        EXPECT_EQ(bps, static_cast<uint32_t>(want_bps)) << s;
    }
}

TEST(Scanner, RecordsFromTypicalAndOddChunks)
{
    const std::string n246(246, 'n'), n300(300, 'n');
    // Input, and the transfer log it gives.
    const std::pair<std::string, std::string> cases[] = {
        {sz_text, record('S', 9999, "a.bin")},
        {rz_text, record('R', 0, "a.bin")},
        {"Sending: a.zip\nBytes Sent:  1000   BPS:12\n", record('S', 12, "a.zip")},
        {"Sending: a.zip\r\nBytes Sent:  1000   BPS:12\r\n", record('S', 12, "a.zip")},
        {"SENDING: a  \t\nBytes Sent: 1 BPS:-5\nreceiving: b\nBytes received: 1/1 BPS:7\n",
         record('S', 9999, "a") + record('R', 9999, "b")},
        {"Sending: Bytes ETA\nBytes Sent: 1 BPS:7 ETA\nBytes Sent: 1 BPS:8\n", record('S', 8, "Bytes ETA")},
        {"Sending: Bytes Sent: 5 BPS:6\n", ""},  // a header never counts as its own byte count
        {"Sending: Bytes Sent: 5 BPS:6\nBytes Sent: 5 BPS:6\n", record('S', 6, "Bytes Sent: 5 BPS:6")},
        {"Bytes Sent: 1 BPS:5\nBytes Sent: 2 BPS:6\n", record('R', 6, "")},       // no header yet
        {"Sending:\nBytes Sent: 1 BPS:5\n", record('S', 5, "")},
        {"Sending: a\nBytes Sent: 1 BPS:5", ""},        // the last line, without its end, is not examined
        {"Sending: a\nBytes Sent: 1 BPS:5\nx", record('S', 5, "a")},
        {std::string("Sending: a\0b\nBytes\0ETA\n", 23), record('S', 0, "a")},  // text ends at a NUL
        // A header's line goes on past its first chunk, all of it the name.
        {"Sending: " + n246 + "Bytes Sent: 3 BPS:4\n", ""},
        {"Sending: " + n246 + " Bytes Sent: 3 BPS:4  \nBytes Sent: 3 BPS:4\n", record('S', 4, n246 + " Bytes Sent: 3 BPS:4")},
        {"Receiving: " + n300 + "\nBytes received: 1\n", record('R', 0, n300)},
        {"Send\nSending: a\nTransfer complete\n", ""},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(scan(in), out) << in;
        EXPECT_EQ(reference(in), out) << in;
    }
}

// Random logs made of the pieces that matter, against the reference, fed
// whole and in small pieces through a small buffer.
TEST(Scanner, MatchesTheReferenceOnRandomLogs)
{
    std::mt19937 rng(3);
    const std::string pieces[] = {
        "Sending: a", "SENDING:  b c ", "Receiving: d.zip", "receiving:", "Bytes Sent: ", "Bytes received: ",
        "BPS:", "ETA 00:00  ", "12", "-7", "99999999999", " ", "\t", "\r", "\n", "\r\n", std::string(1, '\0'),
        "\rBytes Sent:   1024/   5000   BPS:5070799  ETA 00:00  ", std::string(200, 'y'), std::string(61, 'z'),
    };
    for (int round = 0; round < 1500; ++round) {
        std::string log;
        for (int k = 1 + static_cast<int>(rng() % 60); k > 0; --k)
            log += pieces[rng() % std::size(pieces)];
        const std::string want = reference(log);
        ASSERT_EQ(scan(log), want) << round;
        ASSERT_EQ(scan(log, 1 + rng() % 300, 1024), want) << round;
    }
}

TEST(Scanner, EveryCutOfRealOutputGivesAPrefixOfTheRecords)
{
    const std::string log = sz_text + rz_text + sz_text;
    const std::string full = scan(log);
    ASSERT_EQ(full, record('S', 9999, "a.bin") + record('R', 9999, "a.bin") + record('S', 9999, "a.bin"));
    for (size_t k = 0; k <= log.size(); ++k) {
        const std::string part = scan(log.substr(0, k));
        ASSERT_EQ(full.compare(0, part.size(), part), 0) << k;
        ASSERT_EQ(part, reference(log.substr(0, k))) << k;
    }
}

TEST(Scanner, ReadErrorKeepsRecordsBeforeIt)
{
    std::string out;
    int calls = 0;
    auto fill = [&](std::span<char> room) -> long {
        if (calls++)
            return -1;
        const std::string first = "Sending: a\nBytes Sent: 1 BPS:2\nSending: b\nBytes Sent: 3";
        std::memcpy(room.data(), first.data(), first.size());
        return static_cast<long>(first.size());
    };
    EXPECT_FALSE(scan_log(fill, [&](const TransferLogRecord& r) { out += format_record(r); }));
    EXPECT_EQ(out, record('S', 2, "a"));
}

}  // namespace
