// How fast the transfer-log conversion reads a diagnostic stream on its own,
// in the pieces a run reads it in. The stream is about 6% of the bytes a
// transfer moves, so tens of MB/s would do; this shows the margin.
//
//   translog_bench [MB]   (default 200)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/tempdir.h"
#include "diag.h"
#include "translog.h"

namespace {

// About `bytes` of what sz -brNvv and rz -bpRvv write for a few files, sent
// and received in turn, 50 MB each: a header line, then one CR-separated
// progress chunk per KiB moved, all on one line. Counts the files.
std::string generate(size_t bytes, int& files)
{
    std::string out;
    out.reserve(bytes + 4096);
    unsigned rate = 4699088;
    for (files = 0; out.size() < bytes; ++files) {
        const bool send = files % 2 == 0;
        const size_t end = std::min(out.size() + (50u << 20), bytes);
        out += send ? format_message("Sending: file%d.bin\n", files)
                    : format_message("rz waiting to receive.\r      \rReceiving: file%d.bin\n", files);
        unsigned long size = 1024;
        for (; out.size() < end; size += 1024) {
            rate = rate * 1103515245u + 12345u;
            out += format_message("\rBytes %s:%8lu/%8lu   BPS:%-8u ETA 00:00  ", send ? "Sent" : "received",
                                  size, 2 * size, rate % 9000000);
        }
        out += send ? format_message("\rBytes Sent:%8lu   BPS:%-8u%25s\n", size, rate % 9000000, "")
                    : format_message("\rBytes received:%8lu/%8lu   BPS:%-8u%16s\r\n", size, size,
                                     rate % 9000000, "");
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    TempDir dir("vek-bench");
    int files = 0;
    const std::string log = generate(mb << 20, files);
    constexpr size_t piece = size_t{64} * 1024;  // what one read of the capture takes at most
    constexpr int rounds = 7;
    std::vector<double> seconds;
    int records = 0;
    for (int round = 0; round < rounds; ++round) {
        LogConversion conversion(dir / "vek.log", [&](const TransferLogRecord&) { return ++records, true; });
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t at = 0; at < log.size(); at += piece)
            conversion.feed(std::string_view(log).substr(at, piece));
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    // A conversion that skipped its work would time well.
    if (records != rounds * files) {
        std::fprintf(stderr, "translog_bench: %d records, not %d\n", records, rounds * files);
        return 1;
    }
    std::sort(seconds.begin(), seconds.end());
    const double size_mb = static_cast<double>(log.size()) / 1e6, median = seconds[rounds / 2];
    std::printf("conversion of a %.1f MB stream, %d rounds: median %.1f ms, %.0f MB/s (best %.0f MB/s)\n",
                size_mb, rounds, median * 1e3, size_mb / median, size_mb / seconds[0]);
    return 0;
}
