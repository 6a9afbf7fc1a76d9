#include "capture.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t suffix_length = 12;
constexpr int pipe_room = 1 << 20;

// A fresh name at every call. Without getentropy (old kernels, some
// sandboxes) the bytes come from the clock, our pid, a counter and where the
// stack lies, mixed: still new at every retry, and not for another user to
// foresee, though the name is created exclusively anyway.
std::string random_suffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[suffix_length];
    if (getentropy(bytes, sizeof bytes) != 0) {
        static uint64_t calls = 0;
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ static_cast<uint64_t>(ts.tv_sec) << 30 ^
                     static_cast<uint64_t>(getpid()) << 40 ^ reinterpret_cast<uintptr_t>(&ts) ^ ++calls << 52;
        for (unsigned char& b : bytes) {
            // splitmix64: every bit of the state reaches every byte
            x += 0x9e3779b97f4a7c15;
            uint64_t z = x;
            z = (z ^ z >> 30) * 0xbf58476d1ce4e5b9;
            z = (z ^ z >> 27) * 0x94d049bb133111eb;
            b = static_cast<unsigned char>(z ^ z >> 31);
        }
    }
    std::string s(suffix_length, 'x');
    for (size_t i = 0; i < suffix_length; ++i)
        s[i] = letters[bytes[i] % (sizeof letters - 1)];
    return s;
}

}  // namespace

std::string temp_log_base(const std::string& tmpdir, const std::string& cwd)
{
    std::string base = tmpdir + "/.vek.tmp";
    if (base[0] != '/' && !cwd.empty() && cwd.size() + 2 + base.size() + suffix_length < PATH_MAX)
        return cwd + "/" + base;
    return base;
}

std::string current_directory()
{
    std::string buf(256, '\0');
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE)
            return "";
        buf.resize(buf.size() * 2);
    }
    buf.resize(buf.find('\0'));
    return buf;
}

Capture::Capture(const std::string& tmpdir) : base_(temp_log_base(tmpdir, current_directory()))
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = base_ + "." + random_suffix();
        if (mkfifo(candidate.c_str(), 0600) != 0) {
            if (errno == EEXIST)
                continue;
            return;
        }
        path_ = std::move(candidate);
        fd_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        // A umask that takes our own access away: give it back, only then,
        // since a change of mode costs a run that starts often.
        if (!fd_ && errno == EACCES && chmod(path_.c_str(), 0600) == 0)
            fd_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd_) {
            ::unlink(path_.c_str());
            path_.clear();
            return;
        }
        // Room for what the command writes while we gather (best effort: the
        // system may cap it).
        fcntl(fd_.get(), F_SETPIPE_SZ, pipe_room);
        return;
    }
}

Capture::~Capture()
{
    if (!path_.empty())
        ::unlink(path_.c_str());
}

int Capture::remove()
{
    fd_.reset();
    int err = 0;
    if (!path_.empty() && ::unlink(path_.c_str()) != 0 && errno != ENOENT)
        err = errno;
    path_.clear();
    return err;
}
