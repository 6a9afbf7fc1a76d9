#include "filelist.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// Reading a list, how it ends up as the names of a batch is seen whole in
// transfer_test.cpp; here, the pieces readline makes of awkward text.
TEST(Readline, TrimsLineEndsAndTrailingWhiteSpaceButNeverTheFirstCharacter)
{
    using V = std::vector<std::string>;
    const std::pair<std::string, V> cases[] = {
        {"a\nb\r\nc \t\v\f\r\n", {"a", "b", "c"}},
        {"  lead  \n", {"  lead"}},
        {" \n\t \n", {" ", "\t"}},
        {"\n\r\n\rx\n", {"", "", ""}},  // a leading CR empties the piece
        {"a\rb\n", {"a\rb"}},
        {"last", {"last"}},
        {"", {}},
        // Long lines come in pieces of 1023 characters; a line of exactly
        // 1023 leaves its LF as a blank piece.
        {std::string(1500, 'x') + "\n", {std::string(1023, 'x'), std::string(477, 'x')}},
        {std::string(1023, 'y') + "\nz\n", {std::string(1023, 'y'), "", "z"}},
    };
    for (const auto& [text, want] : cases) {
        std::FILE* fp = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
        V got;
        for (std::string line; readline(line, fp);)
            got.push_back(line);
        std::fclose(fp);
        EXPECT_EQ(got, want) << testing::PrintToString(text.substr(0, 20));
    }
}

}  // namespace
