// Feeds arbitrary bytes to the diagnostic-stream scanner twice: whole, and in
// small uneven pieces, with the event scanner listening. How the bytes arrive
// must change neither the records nor the events.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "eventscan.h"
#include "translog.h"

namespace {

// Each event as a line of text.
struct Events final : FileSink {
    void file(const FileFacts& f) override { all += "file " + f.name + "\n"; }
    void progress(const FileFacts& f) override { all += "progress " + std::to_string(f.bytes) + "\n"; }
    void done(const FileFacts& f, const std::string*) override { all += "done " + f.name + "\n"; }
    void failed(const FileFacts& f, FailReason why, const std::string& message, const std::optional<Partial>&) override
    {
        all += "failed " + f.name + " " + reason_word(why) + " " + message + "\n";
    }
    std::string all;
};

std::vector<std::string> scan(std::string_view data, size_t step)
{
    std::vector<std::string> records;
    Events events;
    EventScanner listener(events, data.size() % 2 == 0, {"a.bin", "x\ny"}, nullptr);
    LogConversion conversion(std::nullopt, [](const TransferLogRecord&) { return true; }, &listener);
    LogScanner scanner([&](const TransferLogRecord& r) { records.push_back(format_record(r)); });
    for (size_t at = 0; at < data.size(); at += step) {
        scanner.feed(data.substr(at, step));
        conversion.feed(data.substr(at, step));
    }
    conversion.end();
    listener.finish({});
    records.push_back(events.all);
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const auto whole = scan(in, size + 1);
    if (whole != scan(in, size ? 1 + data[0] % 97 : 1))
        __builtin_trap();
    for (const std::string& line : std::vector<std::string>(whole.begin(), whole.end() - 1)) {
        // Every record is one line: a header's name stops at its line's end.
        if (line.size() < 4 || line.compare(line.size() - 4, 4, " -1\n") != 0 ||
            std::count(line.begin(), line.end(), '\n') != 1)
            __builtin_trap();
    }
    return 0;
}
