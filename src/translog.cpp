#include "translog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bytescan.h"
#include "diag.h"
#include "logrecord.h"
#include "logscan.h"
#include "report.h"
#include "unique_fd.h"

namespace {

// Writes the record with one write() on a descriptor opened for appending, so
// that runs sharing one transfer log never tear or interleave records. A
// failed or short write is reported and not retried: finishing it with a
// second write could put the rest after another run's record.
void append_record(const std::string& path, int fd, const TransferLogRecord& rec)
{
    const std::string line = format_record(rec);
    ssize_t n;
    do
        n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0)
        report(Severity::warning,
               format_message("Error! Can't write veklog %s: %s\n", path.c_str(), std::strerror(errno)));
    else if (static_cast<size_t>(n) != line.size())
        report(Severity::warning, format_message("Error! Short write to veklog %s (%zd of %zu bytes)\n",
                                                 path.c_str(), n, line.size()));
    report_record(line);
}

// One read(), repeated when a signal interrupts it before anything is read.
long read_some(int fd, std::span<char> room)
{
    ssize_t n;
    do
        n = ::read(fd, room.data(), room.size());
    while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

bool readlog(const RunSettings& s, const std::string& log)
{
    if (s.makeveklog) {
        debug_printf(3, "Reading: %s\n", log.c_str());
        UniqueFd in(::open(log.c_str(), O_RDONLY | O_CLOEXEC));
        if (!in) {
            report(Severity::fatal, format_message("Fatal! Can't open %s!\n", log.c_str()));
            return false;
        }
        UniqueFd out(::open(s.veklog.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        if (!out) {
            report(Severity::fatal, format_message("Fatal! Can't open veklog %s!\n", s.veklog.c_str()));
            return false;
        }
        posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        // A log that opens but cannot be read (a directory) would otherwise
        // never reach its end.
        const bool read_all = scan_log([&](std::span<char> room) { return read_some(in.get(), room); },
                                       [&](const TransferLogRecord& rec) { append_record(s.veklog, out.get(), rec); });
        if (!read_all) {
            report(Severity::fatal, format_message("Fatal! Can't open %s!\n", log.c_str()));
            return false;
        }
    }
    return true;
}
