#include "shell.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Holds interrupt and quit ignored and SIGCHLD blocked for its lifetime.
class SignalsForWait {
public:
    SignalsForWait()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &old_int_);
        sigaction(SIGQUIT, &ignore, &old_quit_);
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld, &old_mask_);
    }
    ~SignalsForWait()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGQUIT, &old_quit_, nullptr);
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    SignalsForWait(const SignalsForWait&) = delete;
    SignalsForWait& operator=(const SignalsForWait&) = delete;

    // What the child resets to default: what was not ignored before we came.
    sigset_t to_default() const
    {
        sigset_t set;
        sigemptyset(&set);
        if (old_int_.sa_handler != SIG_IGN)
            sigaddset(&set, SIGINT);
        if (old_quit_.sa_handler != SIG_IGN)
            sigaddset(&set, SIGQUIT);
        return set;
    }
    const sigset_t& old_mask() const { return old_mask_; }

private:
    struct sigaction old_int_ {};
    struct sigaction old_quit_ {};
    sigset_t old_mask_{};
};

class SpawnAttr {
public:
    SpawnAttr() { posix_spawnattr_init(&attr_); }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    posix_spawnattr_t* get() { return &attr_; }

private:
    posix_spawnattr_t attr_{};
};

}  // namespace

ShellResult run_shell(const std::string& command)
{
    SignalsForWait signals;
    SpawnAttr attr;
    const sigset_t reset = signals.to_default();
    posix_spawnattr_setsigdefault(attr.get(), &reset);
    posix_spawnattr_setsigmask(attr.get(), &signals.old_mask());
    posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char sh[] = "sh";
    char dash_c[] = "-c";
    char end_of_options[] = "--";
    char* const argv[] = {sh, dash_c, end_of_options, const_cast<char*>(command.c_str()),
                          nullptr};
    // glibc's posix_spawn reports a failed exec (E2BIG among others) to the
    // caller instead of leaving a child that exits with 127.
    pid_t pid = 0;
    if (int err = posix_spawn(&pid, "/bin/sh", nullptr, attr.get(), argv, environ); err != 0)
        return {127 << 8, err};

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return {-1, 0};
    }
    return {status, 0};
}
