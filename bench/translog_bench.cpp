// Times the transfer-log conversion against a plain sequential read of the
// same log, and shows that its peak memory does not follow the log's size.
//
//   translog_bench [MB]        the whole comparison (default 200 MB)
//   translog_bench --rss FILE  converts a copy of FILE once, prints peak RSS in KiB
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/tempdir.h"
#include "chunkreader.h"
#include "settings.h"
#include "translog.h"
#include "unique_fd.h"

namespace {

// Thrown rather than exiting, so that the private directory is removed.
[[noreturn]] void die(const char* what)
{
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Writes about `bytes` of what sz -brNvv and rz -bpRvv leave on standard error
// for a few files, sent and received in turn, of 50 MB of log each: a header
// line, then one CR-separated progress chunk per 1024 bytes transferred, all
// on a single line. Returns the number of files.
int generate(const std::string& path, size_t bytes)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd)
        die("create log");
    std::string out;
    size_t total = 0;
    auto flush = [&] {
        if (::write(fd.get(), out.data(), out.size()) != static_cast<ssize_t>(out.size()))
            die("write log");
        out.clear();
    };
    auto put = [&](const char* fmt, auto... args) {
        char text[200];
        const int n = std::snprintf(text, sizeof text, fmt, args...);
        out.append(text, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
        if (out.size() >= (1u << 20))
            flush();
    };
    unsigned rate = 4699088;
    int file = 0;
    for (; total < bytes; ++file) {
        const bool send = file % 2 == 0;
        const size_t end = std::min(total + (50u << 20), bytes);
        if (send)
            put("Sending: file%d.bin\n", file);
        else
            put("rz waiting to receive.\r      \rReceiving: file%d.bin\n", file);
        unsigned long size = 1024;
        for (; total < end; size += 1024) {
            rate = rate * 1103515245u + 12345u;
            if (send)
                put("\rBytes Sent:%8lu/%8lu   BPS:%-8u ETA 00:00  ", size, 2 * size, rate % 9000000);
            else
                put("\rBytes received:%8lu/%8lu   BPS:%-8u ETA 00:00  ", size, 2 * size, rate % 9000000);
        }
        if (send)
            put("\rBytes Sent:%8lu   BPS:%-8u%25s\n", size, rate % 9000000, "");
        else
            put("\rBytes received:%8lu/%8lu   BPS:%-8u%16s\r\n", size, size, rate % 9000000, "");
    }
    put("\r\nTransfer complete\n");
    flush();
    return file;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The baseline: every byte of the file through read(), in blocks of the size
// the conversion reads with.
double plain_read(const std::string& path)
{
    auto t0 = std::chrono::steady_clock::now();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        die("open log");
    static std::vector<char> buf(ChunkReader::default_capacity);
    size_t total = 0;
    for (ssize_t n; (n = ::read(fd.get(), buf.data(), buf.size())) > 0;)
        total += static_cast<size_t>(n);
    if (total == 0)
        die("empty log");
    return seconds_since(t0);
}

// The conversion as a run does it, with read() in place of the pipe: the
// same reads into the same buffer. The data stays in the page cache for the
// next round.
double convert(const std::string& path, const std::string& veklog)
{
    RunSettings s;
    s.makeveklog = true;
    s.veklog = veklog;
    auto t0 = std::chrono::steady_clock::now();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        die("open log");
    LogConversion conversion(s, [](const TransferLogRecord&) { return true; });
    for (;;) {
        const std::span<char> room = conversion.space();
        const ssize_t n = ::read(fd.get(), room.data(), room.size());
        if (n <= 0)
            break;
        conversion.commit(static_cast<size_t>(n));
    }
    return seconds_since(t0);
}

std::string read_file(const std::string& path)
{
    std::string text(std::filesystem::file_size(path), '\0');
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::read(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        die("read transfer log");
    return text;
}

long peak_rss_kib()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Peak RSS of a fresh process that converts `path` once.
long child_peak_rss(const std::string& self, const std::string& path)
{
    int fds[2];
    if (pipe(fds) != 0)
        die("pipe");
    pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        dup2(fds[1], 1);
        execl(self.c_str(), self.c_str(), "--rss", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char text[64] = {};
    ssize_t n = ::read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("child conversion");
    return std::atol(text);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int run(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--rss") == 0) {
        convert(argv[2], std::string(argv[2]) + ".veklog");
        std::printf("%ld\n", peak_rss_kib());
        return 0;
    }
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    TempDir dir("vek-bench");
    const std::string big = dir / "big.log", small = dir / "small.log", veklog = dir / "vek.log";
    const int files = generate(big, mb << 20);
    generate(small, std::max<size_t>(mb / 10, 1) << 20);
    const double size_mb = static_cast<double>(std::filesystem::file_size(big)) / 1e6;

    plain_read(big);  // warms the page cache
    constexpr int rounds = 9;
    std::vector<double> reads, converts;
    for (int round = 0; round < rounds; ++round) {
        reads.push_back(plain_read(big));
        converts.push_back(convert(big, veklog));
    }
    // A conversion that skipped its work would time well; count its records.
    const std::string records = read_file(veklog);
    if (std::count(records.begin(), records.end(), '\n') != rounds * files)
        die("wrong number of records");
    const double r = median(reads), c = median(converts);
    const double rbest = *std::min_element(reads.begin(), reads.end());
    const double cbest = *std::min_element(converts.begin(), converts.end());
    std::printf("log: %.1f MB; %d alternating rounds; median (best)\n", size_mb, rounds);
    std::printf("plain read: %6.1f ms (%6.1f ms)  %6.0f MB/s\n", r * 1e3, rbest * 1e3, size_mb / r);
    std::printf("conversion: %6.1f ms (%6.1f ms)  %6.0f MB/s\n", c * 1e3, cbest * 1e3, size_mb / c);
    std::printf("ratio conversion/read: %.2f (%.2f)\n", c / r, cbest / rbest);

    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        die("readlink /proc/self/exe");
    self[n] = '\0';
    std::printf("peak RSS of one conversion: %ld KiB on %.1f MB, %ld KiB on %.1f MB\n",
                child_peak_rss(self, small), static_cast<double>(std::filesystem::file_size(small)) / 1e6,
                child_peak_rss(self, big), size_mb);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "translog_bench: %s\n", e.what());
        return 1;
    }
}
