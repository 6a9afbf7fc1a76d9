#include "translog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "diag.h"
#include "report.h"

namespace {
constexpr size_t max_first_line = 1024;
}

LogConversion::LogConversion(const std::optional<std::string>& veklog, RecordCheck moved)
    : veklog_(veklog.value_or("")), moved_(std::move(moved)),
      scanner_([this](const TransferLogRecord& rec) { write_record(rec); })
{
    if (!veklog)
        return;
    out_ = UniqueFd(::open(veklog_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!out_) {
        fail("Can't open veklog %s!\n", veklog_.c_str());
        return;
    }
    // Opened without blocking; written as before, a record at a time.
    fcntl(out_.get(), F_SETFL, fcntl(out_.get(), F_GETFL) & ~O_NONBLOCK);
}

void LogConversion::feed(std::string_view bytes)
{
    if (!first_line_done_) {
        const size_t end = std::min(bytes.find_first_of("\r\n"), bytes.size());
        first_line_.append(bytes.substr(0, std::min(end, max_first_line - first_line_.size())));
        first_line_done_ = end != bytes.size() || first_line_.size() >= max_first_line;
    }
    if (out_)
        scanner_.feed(bytes);
}

// Writes the record with one write() on a descriptor opened for appending, so
// that runs sharing one transfer log never tear or interleave records. A
// failed or short write is reported and not retried: finishing it with a
// second write could put the rest after another run's record. What a short
// write left is taken back instead, so that no line of the log is ever part
// of a record; runs of ours append under one lock, so none can have written
// after it meanwhile.
void LogConversion::write_record(const TransferLogRecord& rec)
{
    if (!moved_(rec)) {
        ++passed_over_;
        return;
    }
    const std::string line = format_record(rec);
    const int fd = out_.get();
    flock(fd, LOCK_EX);  // where locks are not kept, records are appended all the same
    ssize_t n;
    do
        n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        warn("Can't write veklog %s: %s\n", veklog_.c_str(), std::strerror(errno));
    } else if (static_cast<size_t>(n) != line.size()) {
        warn("Short write to veklog %s (%zd of %zu bytes)\n", veklog_.c_str(), n, line.size());
        take_back(n);
    }
    flock(fd, LOCK_UN);
    report_record(line);
}

// The last `n` bytes of the log are a record cut short: cut them off when
// the log still ends where they end, else end them with a line end so that
// the next record starts a line of its own.
void LogConversion::take_back(ssize_t n)
{
    const int fd = out_.get();
    const off_t end = lseek(fd, 0, SEEK_CUR);  // where our append ended
    struct stat st {};
    if (end >= n && fstat(fd, &st) == 0 && st.st_size == end && ftruncate(fd, end - n) == 0)
        return;
    ssize_t r;
    do
        r = ::write(fd, "\n", 1);
    while (r < 0 && errno == EINTR);
}
