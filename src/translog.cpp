#include "translog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "diag.h"
#include "report.h"

namespace {
constexpr size_t max_first_line = 1024;
constexpr size_t discard_size = size_t{64} * 1024;
}

LogConversion::LogConversion(const RunSettings& s, RecordCheck moved)
    : veklog_(s.veklog), moved_(std::move(moved))
{
    if (s.makeveklog) {
        out_ = UniqueFd(::open(veklog_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
        if (!out_) {
            report(Severity::fatal, format_message("Fatal! Can't open veklog %s!\n", veklog_.c_str()));
        } else {
            // Opened without blocking; written as before, a record at a time.
            fcntl(out_.get(), F_SETFL, fcntl(out_.get(), F_GETFL) & ~O_NONBLOCK);
            reader_.emplace();
        }
    }
    if (!reader_)
        discard_ = std::make_unique_for_overwrite<char[]>(discard_size);
}

std::span<char> LogConversion::space()
{
    std::span<char> room = reader_ ? reader_->space() : std::span<char>(discard_.get(), discard_size);
    last_space_ = room.data();
    return room;
}

void LogConversion::commit(size_t n)
{
    if (!first_line_done_) {
        const char* end = std::find_if(last_space_, last_space_ + n, [](char c) { return c == '\n' || c == '\r'; });
        first_line_.append(last_space_, std::min<size_t>(end - last_space_, max_first_line - first_line_.size()));
        first_line_done_ = end != last_space_ + n || first_line_.size() >= max_first_line;
    }
    if (!reader_)
        return;
    reader_->commit(n);
    scan_chunks(*reader_, scanner_, [this](const TransferLogRecord& rec) { write_record(rec); });
}

// Writes the record with one write() on a descriptor opened for appending, so
// that runs sharing one transfer log never tear or interleave records. A
// failed or short write is reported and not retried: finishing it with a
// second write could put the rest after another run's record.
void LogConversion::write_record(const TransferLogRecord& rec)
{
    if (!moved_(rec)) {
        ++passed_over_;
        return;
    }
    const std::string line = format_record(rec);
    ssize_t n;
    do
        n = ::write(out_.get(), line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0)
        report(Severity::warning,
               format_message("Error! Can't write veklog %s: %s\n", veklog_.c_str(), std::strerror(errno)));
    else if (static_cast<size_t>(n) != line.size())
        report(Severity::warning, format_message("Error! Short write to veklog %s (%zd of %zu bytes)\n",
                                                 veklog_.c_str(), n, line.size()));
    report_record(line);
}
