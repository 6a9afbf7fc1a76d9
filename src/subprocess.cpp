#include "subprocess.h"

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {

// How long the stream may gather progress text before it is read; far less
// than it takes to fill the pipe.
constexpr int gather_ms = 10;
constexpr size_t read_size = size_t{64} * 1024;

// Holds one of posix_spawn's attribute objects from init to destroy.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
public:
    SpawnObject() { Init(&object_); }
    ~SpawnObject() { Destroy(&object_); }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    T* get() { return &object_; }

private:
    T object_{};
};

using SpawnAttr = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using FileActions =
    SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init, posix_spawn_file_actions_destroy>;

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

}  // namespace

Subprocess::Subprocess(const std::string& command, const std::string& dir, const sigset_t& to_default,
                       const sigset_t& mask, UniqueFd stream)
    : stream_(std::move(stream))
{
    SpawnAttr attr;
    posix_spawnattr_setsigdefault(attr.get(), &to_default);
    posix_spawnattr_setsigmask(attr.get(), &mask);
    posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    // Only the command changes directory: this process never leaves its own,
    // so there is no way back to lose.
    FileActions actions;
    if (!dir.empty())
        posix_spawn_file_actions_addchdir_np(actions.get(), dir.c_str());

    char sh[] = "sh";
    char dash_c[] = "-c";
    char end_of_options[] = "--";
    char* const argv[] = {sh, dash_c, end_of_options, const_cast<char*>(command.c_str()), nullptr};
    // glibc's posix_spawn reports a failed exec (E2BIG among others) to the
    // caller instead of leaving a child that exits with 127.
    if (int err = posix_spawn(&pid_, "/bin/sh", actions.get(), attr.get(), argv, environ); err != 0) {
        pid_ = -1;
        spawn_error_ = err;
    }
}

Subprocess::Exit Subprocess::finish(const std::function<void(std::string_view)>& feed)
{
    if (pid_ < 0)
        return {shell_not_started, false};
    const auto buf = std::make_unique_for_overwrite<char[]>(read_size);
    bool read_failed = false;
    // Reads what the stream holds for now: false once no writer is left or
    // reading failed.
    auto drain = [&] {
        for (;;) {
            const ssize_t n = ::read(stream_.get(), buf.get(), read_size);
            if (n > 0) {
                feed({buf.get(), static_cast<size_t>(n)});
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return true;
            read_failed = n < 0;
            return false;
        }
    };
    // Readable once the process has ended. Without it (old kernels) the
    // stream is read to its end, and the process then waited for.
    const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
    bool open = true;
    for (;;) {
        pollfd fds[2] = {{stream_.get(), POLLIN, 0}, {pidfd.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            open = drain();
            if (!open)
                break;
            // The commands write their progress a few dozen bytes at a time;
            // waking for each write would cost the transfer more than the
            // reading does. Let the pipe gather for a moment, but notice at
            // once when the process ends.
            if (pidfd && !(fds[1].revents & POLLIN)) {
                pollfd end{pidfd.get(), POLLIN, 0};
                poll(&end, 1, gather_ms);
                fds[1].revents = end.revents;
            }
        }
        if (fds[1].revents & POLLIN)
            break;
    }
    const int status = wait_for(pid_);
    pid_ = -1;
    // What was written by the time the process ended is all in the pipe now.
    if (open)
        drain();
    return {status, read_failed};
}
