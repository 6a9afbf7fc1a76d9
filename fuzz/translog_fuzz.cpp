// Feeds arbitrary bytes to the diagnostic-stream scanner twice: whole, and in
// small uneven pieces. How the bytes arrive must not change the records.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logscan.h"

namespace {

std::vector<std::string> scan(std::string_view data, size_t step)
{
    std::vector<std::string> records;
    LogScanner scanner([&](const TransferLogRecord& r) { records.push_back(format_record(r)); });
    for (size_t at = 0; at < data.size(); at += step)
        scanner.feed(data.substr(at, step));
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const auto whole = scan(in, size + 1);
    if (whole != scan(in, size ? 1 + data[0] % 97 : 1))
        __builtin_trap();
    for (const std::string& line : whole) {
        // Every record is one line: a header's name stops at its line's end.
        if (line.size() < 4 || line.compare(line.size() - 4, 4, " -1\n") != 0 ||
            std::count(line.begin(), line.end(), '\n') != 1)
            __builtin_trap();
    }
    return 0;
}
