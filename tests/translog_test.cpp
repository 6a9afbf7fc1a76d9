#include "translog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>

#include "chunkreader.h"

namespace {

// Feeds a string to a reader in pieces of a chosen size.
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

}  // namespace
