// Feeds arbitrary bytes to the diagnostic-stream scanner that the conversion uses, twice:
// in one piece through the normal buffer, and in small uneven pieces through
// the smallest buffer. How the bytes arrive must not change the records.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "logscan.h"

namespace {

std::vector<std::string> scan(const uint8_t* data, size_t size, size_t capacity, size_t step)
{
    std::vector<std::string> records;
    size_t at = 0;
    scan_log(
        [&](std::span<char> room) -> long {
            const size_t n = std::min({room.size(), size - at, step});
            std::memcpy(room.data(), data + at, n);
            at += n;
            return static_cast<long>(n);
        },
        [&](const TransferLogRecord& r) { records.push_back(format_record(r)); }, capacity);
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t step = size ? 1 + data[0] % 97 : 1;
    const auto whole = scan(data, size, ChunkReader::default_capacity, size + 1);
    const auto pieces = scan(data, size, 1, step);
    if (whole != pieces)
        __builtin_trap();
    for (const std::string& line : whole) {
        // Every record is one line: the name stops at the chunk's end.
        if (line.size() < 4 || line.compare(line.size() - 4, 4, " -1\n") != 0 ||
            std::count(line.begin(), line.end(), '\n') != 1)
            __builtin_trap();
    }
    return 0;
}
