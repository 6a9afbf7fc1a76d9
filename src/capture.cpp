#include "capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "diag.h"
#include "shell.h"

namespace {

constexpr size_t suffix_length = 12;
// How long the pipe may gather progress text before it is read; far less
// than it takes to fill it.
constexpr int gather_ms = 10;
constexpr int pipe_room = 1 << 20;

std::string random_suffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[suffix_length];
    if (getentropy(bytes, sizeof bytes) != 0) {
        // Unpredictable enough for a name that is created exclusively anyway.
        const auto seed = static_cast<size_t>(getpid()) * 31 + static_cast<size_t>(time(nullptr));
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>((seed + i * 131) & 0xff);
    }
    std::string s(suffix_length, 'x');
    for (size_t i = 0; i < suffix_length; ++i)
        s[i] = letters[bytes[i] % (sizeof letters - 1)];
    return s;
}

// One read(), repeated when a signal interrupts it before anything is read.
ssize_t read_some(int fd, std::span<char> room)
{
    ssize_t n;
    do
        n = ::read(fd, room.data(), room.size());
    while (n < 0 && errno == EINTR);
    return n;
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

void Capture::remove()
{
    debug_printf(2, "removing temporary log.\n");
    fd_.reset();
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
}

int Capture::readlog(pid_t pid, ByteSink& sink, bool& read_failed)
{
    read_failed = false;
    // Readable when the process ends; without it (old kernels) the pipe is
    // polled with a short timeout and the process checked in between.
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    // Reads until the pipe is empty for now (true) or has no writer left or
    // failed (false).
    auto drain = [&] {
        for (;;) {
            const ssize_t n = read_some(fd_.get(), sink.space());
            if (n > 0) {
                sink.commit(static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EAGAIN)
                return true;
            if (n < 0)
                read_failed = true;
            return false;
        }
    };
    bool writers = true;  // false once every writer has closed its end
    for (;;) {
        pollfd fds[2] = {{writers && !read_failed ? fd_.get() : -1, POLLIN, 0},
                         {pidfd.get(), POLLIN, 0}};
        if (poll(fds, 2, pidfd ? -1 : 50) < 0 && errno != EINTR)
            return wait_shell(pid);
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            writers = drain();
            // The commands write their progress a few dozen bytes at a time;
            // waking for each write would cost the transfer more than the
            // reading does. Let the pipe gather for a moment, but notice at
            // once when the process ends.
            if (writers && pidfd && !(fds[1].revents & POLLIN)) {
                pollfd end{pidfd.get(), POLLIN, 0};
                poll(&end, 1, gather_ms);
                fds[1].revents = end.revents;
            }
        }
        if (pidfd && !(fds[1].revents & POLLIN))
            continue;
        int status = 0;
        const pid_t r = waitpid(pid, &status, pidfd ? 0 : WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR))
            continue;
        // What was written by the time the process ended is all in the pipe now.
        if (!read_failed)
            drain();
        return r == pid ? status : -1;
    }
}
