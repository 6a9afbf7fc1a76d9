// Prints the records that the record scanner makes of each stream, fed
// whole and cut into random pieces: the captured streams named on the command
// line, then `-g N` generated ones. Built against two versions of the scanner
// (scanner-diff.sh), the outputs must match byte for byte.
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "logscan.h"

namespace {

std::string records(const std::string& stream, std::mt19937& rng, bool cut)
{
    std::string out;
    LogScanner scanner([&](const TransferLogRecord& rec) { out += format_record(rec); });
    for (size_t at = 0; at < stream.size();) {
        const size_t n = cut ? std::uniform_int_distribution<size_t>(1, 300)(rng) : stream.size();
        scanner.feed(std::string_view(stream).substr(at, n));
        at += n;
    }
    return out;
}

// Headers, counts, progress, names with line ends, NULs and long lines, mixed.
std::string generated(std::mt19937& rng)
{
    static const char* const parts[] = {
        "Sending: ", "Receiving: ", "rz: ready to receive ", "SENDING: x", "receiving", "Sending ./-x, 3 blocks: ",
        " blocks: Give your local XMODEM receive command now.", "Bytes Sent: 1024/5000 BPS:3368 ETA 00:00  ",
        "Bytes Sent:   5000   BPS:1056393     ", "Bytes received:    5000/   5000   BPS:-1 ", "Bytes", "ETA",
        "a.bin", "b c.zip", "\r", "\n", "\r\n", std::string("\0x", 2).c_str(), "Retry 0: Got ZCAN", "  ", "\t",
        "Bytes Sent: 99999999999 BPS:2147483648", "sz: cannot open nope: No such file or directory"};
    std::string s;
    const int tokens = std::uniform_int_distribution<int>(1, 60)(rng);
    for (int i = 0; i < tokens; ++i) {
        const size_t k = std::uniform_int_distribution<size_t>(0, std::size(parts))(rng);
        if (k == std::size(parts))
            s += std::string(std::uniform_int_distribution<size_t>(1, 600)(rng), 'n');
        else if (parts[k][0] == '\0')
            s += std::string("\0x", 2);
        else
            s += parts[k];
    }
    return s;
}

}  // namespace

int main(int argc, char** argv)
{
    std::mt19937 rng(20261208);
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> streams;
        if (std::string(argv[i]) == "-g" && i + 1 < argc) {
            for (int n = std::stoi(argv[++i]); n > 0; --n)
                streams.push_back(generated(rng));
        } else {
            std::ifstream in(argv[i], std::ios::binary);
            std::stringstream whole;
            whole << in.rdbuf();
            streams.push_back(whole.str());
        }
        for (const std::string& stream : streams) {
            std::printf("--- stream of %zu bytes\n", stream.size());
            for (bool cut : {false, true, true}) {
                const std::string out = records(stream, rng, cut);
                std::fwrite(out.data(), 1, out.size(), stdout);
                std::printf("-\n");
            }
        }
    }
}
