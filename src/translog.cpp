#include "translog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "append.h"
#include "diag.h"
#include "report.h"
#include "signals.h"

namespace {

constexpr size_t max_first_line = 1024;
constexpr milliseconds lock_retry{10};

}  // namespace

LogConversion::LogConversion(const std::optional<std::string>& veklog, RecordCheck moved, ScanListener* listener,
                             SignalHold* hold)
    : veklog_(veklog.value_or("")), moved_(std::move(moved)), listener_(listener), hold_(hold),
      scanner_([this](const TransferLogRecord& rec) { write_record(rec); }, listener)
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
    // The log may end in a record cut short that could not be taken back.
    tail_ = open_tail(out_.get());
}

void LogConversion::feed(std::string_view bytes)
{
    if (!first_line_done_) {
        const size_t end = std::min(bytes.find_first_of("\r\n"), bytes.size());
        first_line_.append(bytes.substr(0, std::min(end, max_first_line - first_line_.size())));
        first_line_done_ = end != bytes.size() || first_line_.size() >= max_first_line;
    }
    if (out_ || listener_)
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
    const bool moved = moved_(rec);
    // A record is one line: a name that holds a line end is never written.
    if (!moved || rec.file.find_first_of("\r\n") != std::string::npos) {
        ++passed_over_;
        if (listener_)
            listener_->completed(rec, nullptr, moved);
        return;
    }
    if (!out_) {
        if (listener_)
            listener_->completed(rec, nullptr, true);
        return;
    }
    const std::string record = format_record(rec);
    const int fd = out_.get();
    const bool locked = lock();
    // A record starts a line of its own, whatever the log ended with.
    const std::string line = ends_mid_line(tail_.get()) ? "\n" + record : record;
    ssize_t n;
    do
        n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    const bool whole = n >= 0 && static_cast<size_t>(n) == line.size();
    if (n < 0) {
        warn("Can't write veklog %s: %s\n", veklog_.c_str(), std::strerror(errno));
    } else if (!whole) {
        warn("Short write to veklog %s (%zd of %zu bytes)\n", veklog_.c_str(), n, line.size());
        if (!take_back(fd, static_cast<size_t>(n)))
            warn("Can't take back the cut record in veklog %s: %s\n", veklog_.c_str(), std::strerror(errno));
    }
    if (locked)
        flock(fd, LOCK_UN);
    report_record(record);
    if (listener_) {
        const std::string written = record.substr(0, record.size() - 1);
        listener_->completed(rec, whole ? &written : nullptr, true);
    }
}

// Takes the lock, waiting for it as long as the timeline allows, and not at
// all once a stop has come or a wait ran out before: records are then
// appended all the same, as where locks are not kept, and that is said once.
bool LogConversion::lock()
{
    const Deadline waited = Deadline::in(bounds::log_lock);
    for (;;) {
        if (flock(out_.get(), LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (lock_given_up_ || waited.earlier(hold_ ? hold_->after_stop({}) : Deadline()).passed())
            break;
        if (hold_)
            hold_->pause(lock_retry);
        else
            std::this_thread::sleep_for(lock_retry);
    }
    if (!lock_given_up_)
        warn("The lock on veklog %s is held elsewhere; writing without it.\n", veklog_.c_str());
    lock_given_up_ = true;
    return false;
}
