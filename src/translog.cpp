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
#include "unique_fd.h"

ChunkCut readchunk(std::string_view in, size_t maxlen)
{
    const size_t window = std::min(in.size(), maxlen);
    const char* p = in.data();
    bool nul = false;
    for (size_t i = 0;; ++i) {
        i += bytescan::find_stop(p + i, window - i);
        if (i == window)
            break;
        if (p[i] != '\0')
            return {in.substr(0, i), i + 1, true, nul};
        nul = true;
    }
    if (window == maxlen)
        return {in.substr(0, maxlen), maxlen, true, nul};
    return {in, in.size(), false, nul};
}

std::string_view chunk_text(std::string_view chunk)
{
    return chunk.substr(0, chunk.find('\0'));
}

std::string_view rstrip(std::string_view str)
{
    size_t n = str.size();
    while (n > 1 && bytescan::is_space(str[n - 1]))
        --n;
    return str.substr(0, n);
}

namespace {

// Writes the record with one write() on a descriptor opened for appending, so
// that runs sharing one transfer log never tear or interleave records. A
// failed or short write is reported and not retried: finishing it with a
// second write could put the rest after another run's record.
void append_record(int fd, const std::string& path, const TransferLogRecord& rec)
{
    const std::string line = format_record(rec);
    ssize_t n;
    do
        n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0)
        std::fprintf(stderr, "Error! Can't write veklog %s: %s\n", path.c_str(), std::strerror(errno));
    else if (static_cast<size_t>(n) != line.size())
        std::fprintf(stderr, "Error! Short write to veklog %s (%zd of %zu bytes)\n", path.c_str(), n,
                     line.size());
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

int readlog(const RunSettings& s, const std::string& log)
{
    if (s.makeveklog) {
        debug_printf(3, "Reading: %s\n", log.c_str());
        UniqueFd in(::open(log.c_str(), O_RDONLY | O_CLOEXEC));
        if (!in) {
            std::fprintf(stderr, "Fatal! Can't open %s!\n", log.c_str());
            return 0;
        }
        UniqueFd out(::open(s.veklog.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        if (!out) {
            std::fprintf(stderr, "Fatal! Can't open veklog %s!\n", s.veklog.c_str());
            return 0;
        }
        posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        // A log that opens but cannot be read (a directory) would otherwise
        // never reach its end.
        const bool read_all = scan_log([&](std::span<char> room) { return read_some(in.get(), room); },
                                       [&](const TransferLogRecord& rec) { append_record(out.get(), s.veklog, rec); });
        if (!read_all) {
            std::fprintf(stderr, "Fatal! Can't open %s!\n", log.c_str());
            return 0;
        }
    }
    debug_printf(2, "removing temporary log.\n");
    ::unlink(log.c_str());
    return 1;
}
