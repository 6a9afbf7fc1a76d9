#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

constexpr size_t read_size = size_t{64} * 1024;
// A failed read or wait is tried again after a pause, this many times in a row.
constexpr int max_failures = 100;
constexpr timespec pause_after_failure{0, 10'000'000};

// How long the capture may gather progress text before it is read: waking for
// each write of a few dozen bytes would cost the transfer more than the
// reading does, while a pipe that fills stops the command. The pause starts
// at 10 ms for a pipe of 1 MiB, less for a smaller one (the system gives a
// user with many pipes 8 KiB, which sz, writing about 58 bytes per KiB sent,
// fills in about a millisecond on a fast line); then it doubles while reads
// find the pipe less than a quarter full and halves when they find it more
// than half full, never above 10 ms.
class CapturePacing {
public:
    explicit CapturePacing(int fd) : room_(std::max(0, fcntl(fd, F_GETPIPE_SZ)))
    {
        ns_ = longest * static_cast<long>(room_ / 1024) / 1024;
    }
    void read(size_t n)
    {
        if (n > room_ / 2)
            ns_ /= 2;
        else if (n < room_ / 4)
            ns_ = std::min(longest, 2 * ns_ + 1000);
    }
    timespec pause() const { return {ns_ / 1'000'000'000L, ns_ % 1'000'000'000L}; }

private:
    static constexpr long longest = 10'000'000;
    size_t room_;
    long ns_;
};

bool has_ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

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

// Waits for `pid` to end, until `deadline`; true once it has.
bool ended_by(pid_t pid, const Deadline& deadline)
{
    const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    while (!has_ended(pid)) {
        if (deadline.passed())
            return false;
        // Without a pidfd (old kernels), a look every 10 ms.
        pollfd end{pidfd.get(), POLLIN, 0};
        timespec left{};
        if (!pidfd || ppoll(&end, 1, deadline.remaining(left), nullptr) < 0)
            nanosleep(&pause_after_failure, nullptr);
    }
    return true;
}

using SpawnAttr = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;
using FileActions =
    SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init, posix_spawn_file_actions_destroy>;

}  // namespace

Subprocess::Subprocess(const std::string& command, const std::string& dir, const sigset_t& to_default,
                       const sigset_t& mask, UniqueFd stream, int input, int output)
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
    if (input >= 0)
        posix_spawn_file_actions_adddup2(actions.get(), input, 0);
    if (output >= 0)
        posix_spawn_file_actions_adddup2(actions.get(), output, 1);

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

Subprocess::~Subprocess()
{
    if (pid_ < 0)
        return;
    // Never finished: the run is failing. The command is asked to stop, as a
    // host would ask us, then made to; either way it is reaped.
    stream_.reset();
    kill(pid_, SIGTERM);
    if (!ended_by(pid_, Deadline::in(bounds::forgotten_command)))
        kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

Subprocess::Exit Subprocess::finish(const std::function<void(std::string_view)>& feed, SignalHold& hold,
                                    const std::function<void()>& give_up, const std::function<OwnStop()>& own)
{
    if (pid_ < 0)
        return {shell_not_started, 0};
    const auto buf = std::make_unique_for_overwrite<char[]>(read_size);
    CapturePacing pacing(stream_.get());
    int read_error = 0;
    int failures = 0;
    // Reads what the stream holds for now; closes it once no writer is left,
    // or when reading keeps failing.
    auto drain = [&] {
        size_t total = 0;
        while (stream_) {
            const ssize_t n = ::read(stream_.get(), buf.get(), read_size);
            if (n > 0) {
                failures = 0;
                total += static_cast<size_t>(n);
                feed({buf.get(), static_cast<size_t>(n)});
            } else if (n == 0) {
                stream_.reset();
            } else if (errno == EAGAIN) {
                break;
            } else if (errno != EINTR) {
                if (++failures < max_failures) {
                    nanosleep(&pause_after_failure, nullptr);
                    break;
                }
                read_error = errno;
                stream_.reset();
            }
        }
        return total;
    };
    // Readable once the process has ended. Without it (old kernels) the
    // stream is read to its end, and the process then waited for.
    const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
    bool given_up = false, killed = false;
    for (bool ended = false; !ended && (stream_ || pidfd);) {
        // Looked at before every wait, so that no stop waits for the
        // command's next line. The process is ours until we reap it below,
        // so this reaches no other.
        Deadline look_again;
        if (!hold.own_stop() && !hold.stop()) {
            const OwnStop due = own();
            if (due.why && due.at.passed())
                hold.stop_own(*due.why);
            else
                look_again = due.at;
        }
        if (const int sig = hold.take_stop())
            kill(pid_, sig);
        const Deadline give_up_at = hold.after_stop(bounds::stop_grace);
        const Deadline kill_at = hold.after_stop(bounds::stop_kill);
        if (!given_up && give_up_at.passed()) {
            given_up = true;
            give_up();
        }
        if (!killed && kill_at.passed()) {
            killed = true;
            kill(pid_, SIGKILL);
        }
        pollfd fds[2] = {{stream_.get(), POLLIN, 0}, {pidfd.get(), POLLIN, 0}};
        timespec left{};
        const Deadline next = (killed ? Deadline() : given_up ? kill_at : give_up_at).earlier(look_again);
        const int ready = ppoll(fds, 2, next.remaining(left), &hold.wait_mask());
        if (ready == 0)
            continue;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            // Poll itself failed: look at both after a pause.
            nanosleep(&pause_after_failure, nullptr);
            drain();
            ended = has_ended(pid_);
            continue;
        }
        ended = (fds[1].revents & POLLIN) != 0;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            pacing.read(drain());
            if (stream_ && pidfd && !ended) {
                pollfd end{pidfd.get(), POLLIN, 0};
                const timespec pause = pacing.pause();
                ended = ppoll(&end, 1, &pause, &hold.wait_mask()) > 0;
            }
        }
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    pid_ = -1;
    // What was written by the time the process ended is all in the pipe now.
    drain();
    return {status, read_error};
}
