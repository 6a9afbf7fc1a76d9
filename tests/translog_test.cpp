// The scanner's records from typical and odd streams, however the bytes arrive.
#include <gtest/gtest.h>

#include <random>

#include "logscan.h"
#include "records.h"

namespace {

// The transfer log a stream gives, fed in pieces of `piece` bytes.
std::string scan(std::string_view log, size_t piece = SIZE_MAX)
{
    std::string out;
    LogScanner scanner([&](const TransferLogRecord& r) { out += format_record(r); });
    for (size_t at = 0; at < log.size(); at += std::min(piece, log.size() - at))
        scanner.feed(log.substr(at, piece));
    return out;
}

TEST(Scanner, RecordsFromTypicalAndOddChunks)
{
    const std::string n246(246, 'n'), n300(300, 'n'), x254(254, 'x'), x255(255, 'x');
    // Input, and the transfer log it gives.
    const std::pair<std::string, std::string> cases[] = {
        {sz_text, record('S', 9999, "a.bin")},
        {rz_text, record('R', 0, "a.bin")},
        {"Sending: a.zip\nBytes Sent:  1000   BPS:12\n", record('S', 12, "a.zip")},
        {"Sending: a.zip\r\nBytes Sent:  1000   BPS:12\r\n", record('S', 12, "a.zip")},
        {"SENDING: a  \t\nBytes Sent: 1 BPS:-5\nreceiving: b\nBytes received: 1/1 BPS:7\n",
         record('S', 9999, "a") + record('R', 9999, "b")},
        {"Sending: Bytes ETA\nBytes Sent: 1 BPS:7 ETA\nBytes Sent: 1 BPS:8\n", record('S', 8, "Bytes ETA")},
        // The rate as the C library reads it: white space, signs, overflow.
        {"Sending: a\nBytes  \t Sent:\v-5 BPS:+7\n", record('S', 7, "a")},
        {"Sending: a\nBytes Sent: 4294967296 BPS:4294967295\n", record('S', 9999, "a")},
        {"Sending: a\nBytes Sent: 1 BPS:99999999999999999999\n", record('S', 9999, "a")},
        {"Sending: a\nBytes Sent: 1 BPS:12\nSending: b\nBytes Sent: x BPS:3\n",
         record('S', 12, "a") + record('S', 12, "b")},
        {"Sending: Bytes Sent: 5 BPS:6\n", ""},  // a header never counts as its own byte count
        {"Sending: Bytes Sent: 5 BPS:6\nBytes Sent: 5 BPS:6\n", record('S', 6, "Bytes Sent: 5 BPS:6")},
        {"Bytes Sent: 1 BPS:5\nBytes Sent: 2 BPS:6\n", record('R', 6, "")},  // no header yet
        {"Sending:\nBytes Sent: 1 BPS:5\n", record('S', 5, "")},
        {"Sending: a\nBytes Sent: 1 BPS:5", ""},  // the last line, without its end, is not examined
        {"Sending: a\nBytes Sent: 1 BPS:5\nx", record('S', 5, "a")},
        {std::string("Sending: a\0b\nBytes\0ETA\n", 23), record('S', 0, "a")},  // text ends at a NUL
        // A line goes on in a new chunk after 255 bytes.
        {"Sending: a\n" + x255 + "Bytes Sent: 1 BPS:5\n", record('S', 5, "a")},
        {"Sending: a\n" + x254 + "Bytes Sent: 1 BPS:5\n", ""},
        {"Sending: a\n" + x255 + "\nBytes Sent: 1 BPS:5\n", record('S', 5, "a")},
        // A header's line goes on past its first chunk, all of it the name.
        {"Sending: " + n246 + "Bytes Sent: 3 BPS:4\n", ""},
        {"Sending: " + n246 + " Bytes Sent: 3 BPS:4  \nBytes Sent: 3 BPS:4\n",
         record('S', 4, n246 + " Bytes Sent: 3 BPS:4")},
        {"Receiving: " + n300 + "\nBytes received: 1\n", record('R', 0, n300)},
        {"Receiving: " + n300 + std::string(1, '\0') + "tail\nBytes received: 1\n", record('R', 0, n300)},
        {"Send\nSending: a\nTransfer complete\n", ""},
        // XMODEM's own forms: the name as given, then its last component, and the count that ends the header.
        {"Sending a.bin, 2343 blocks: Give your local XMODEM receive command now.\nBytes Sent: 300032   BPS:249337\n",
         record('S', 9999, "a.bin")},
        {"Sending sub/a, 3 blocks: b, 2 blocks: Give your local XMODEM receive command now.\r\nBytes Sent: 1 BPS:5\n",
         record('S', 5, "a, 3 blocks: b")},
        {"Sending: a, 2 blocks: x\nBytes Sent: 1 BPS:5\n", record('S', 5, "a, 2 blocks: x")},
        {"rz: ready to receive a.bin\nBytes received:  300032   BPS:249345\n", record('R', 0, "a.bin")},
        // A header's line runs to its LF: what follows a CR in it is name, however it reads.
        {"Receiving: x\rBytes received: 1\rReceiving: g\r\nBytes received: 1\n",
         record('R', 0, "x\rBytes received: 1\rReceiving: g")},
        {"Sending: " + n246 + "\r\rSending: g\nBytes Sent: 1 BPS:5\n", record('S', 5, n246 + "\r\rSending: g")},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(scan(in), out) << in;
        for (size_t piece = 1; piece < in.size(); ++piece)
            ASSERT_EQ(scan(in, piece), out) << in << "\nin pieces of " << piece;
    }
}

// Random logs made of the pieces that matter: fed in pieces, they give what
// they give whole, and every cut of a stream gives a prefix of its records.
TEST(Scanner, PiecesGiveWhatTheWholeGives)
{
    std::mt19937 rng(3);
    const std::string pieces[] = {
        "Sending: a", "SENDING:  b c ", "Receiving: d.zip", "receiving:", "Bytes Sent: ", "Bytes received: ",
        "BPS:", "ETA 00:00  ", "12", "-7", "99999999999", " ", "\t", "\r", "\n", "\r\n", std::string(1, '\0'),
        "\rBytes Sent:   1024/   5000   BPS:5070799  ETA 00:00  ", std::string(200, 'y'), std::string(61, 'z'),
        "\rReceiving: g",
    };
    for (int round = 0; round < 1500; ++round) {
        std::string log;
        for (int k = 1 + static_cast<int>(rng() % 60); k > 0; --k)
            log += pieces[rng() % std::size(pieces)];
        ASSERT_EQ(scan(log, 1 + rng() % 300), scan(log)) << round;
    }
    const std::string log = sz_text + rz_text + sz_text;
    const std::string full = scan(log);
    ASSERT_EQ(full, record('S', 9999, "a.bin") + record('R', 9999, "a.bin") + record('S', 9999, "a.bin"));
    for (size_t k = 0; k <= log.size(); ++k) {
        const std::string part = scan(log.substr(0, k));
        ASSERT_EQ(full.compare(0, part.size(), part), 0) << k;
    }
}

}  // namespace
