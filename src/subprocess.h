// The transfer command while it runs: the one process we started and the read
// end of its diagnostic stream, from the start to the reaping. The process is
// /bin/sh running the command the way the C library's system() does, but not
// waited for at once, so that the stream can be read while it runs.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "signals.h"
#include "unique_fd.h"

// The wait status system() gives for a shell that could not be started.
inline constexpr int shell_not_started = 127 << 8;

class Subprocess {
public:
    // Runs `sh -c -- command` inside `dir` (here when empty), with the
    // signals in `to_default` set back to their defaults and `mask` as its
    // signal mask, and `input` and `output` as its standard input and output
    // when they are not -1 (ours otherwise). `stream` is the read end of what
    // the command writes to its standard error. See spawn_error().
    Subprocess(const std::string& command, const std::string& dir, const sigset_t& to_default,
               const sigset_t& mask, UniqueFd stream, int input = -1, int output = -1);
    // A command that was never finished is stopped (terminate, then kill
    // after bounds::forgotten_command) and reaped.
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // 0, or the error that kept the shell from starting (E2BIG: the command
    // is too long for the kernel, which is no failed transfer).
    int spawn_error() const { return spawn_error_; }

    struct Exit {
        int status;      // the raw wait status, as system() gives it
        int read_error;  // 0, or the error that kept failing the reads of the stream
    };
    // Hands the stream to `feed` piece by piece until the process has ended
    // and the stream holds nothing more from it, then reaps the process. A
    // stop that `hold` catches meanwhile is passed on to the process at once;
    // on the stop's timeline (deadline.h) `give_up` is called (stop waiting
    // on the user), and then a process still there is killed. A read
    // that keeps failing gives the stream up, so that the command is never
    // left blocked on a pipe nobody reads: it then ends by a broken pipe.
    // `own` tells of a stop the run makes itself; once it is due, the run
    // is stopped as by the host's.
    Exit finish(const std::function<void(std::string_view)>& feed, SignalHold& hold,
                const std::function<void()>& give_up = [] {},
                const std::function<OwnStop()>& own = [] { return OwnStop{}; });

private:
    pid_t pid_ = -1;
    int spawn_error_ = 0;
    UniqueFd stream_;
};
