#include "pair.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

std::pair<RunResult, RunResult> run_pair(const PairSide& first, const PairSide& second)
{
    return RunningPair(first, second).wait();
}

RunningPair::RunningPair(const PairSide& first, const PairSide& second)
    : deadline_(deadline_after(first.opts.timeout_seconds))
{
    int a_to_b[2], b_to_a[2], a_err[2], b_err[2];
    if (pipe2(a_to_b, O_CLOEXEC) || pipe2(b_to_a, O_CLOEXEC) || pipe2(a_err, O_CLOEXEC) ||
        pipe2(b_err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pids_[0] = spawn_process(first.argv, first.opts, b_to_a[0], a_to_b[1], a_err[1]);
    pids_[1] = spawn_process(second.argv, second.opts, a_to_b[0], b_to_a[1], b_err[1]);
    for (int fd : {a_to_b[0], a_to_b[1], b_to_a[0], b_to_a[1], a_err[1], b_err[1]})
        close(fd);
    errfds_[0] = a_err[0];
    errfds_[1] = b_err[0];
}

RunningPair::~RunningPair()
{
    for (int side = 0; side < 2; ++side) {
        kill(-pids_[side], SIGKILL);  // whatever is left of the group, too
        if (waited_)
            continue;
        while (waitpid(pids_[side], nullptr, 0) < 0 && errno == EINTR) {
        }
        close(errfds_[side]);
    }
}

std::pair<RunResult, RunResult> RunningPair::wait()
{
    std::pair<RunResult, RunResult> r;
    pump({{errfds_[0], &r.first.err}, {errfds_[1], &r.second.err}}, deadline_);
    r.first.status = reap(pids_[0], deadline_, &r.first.timed_out);
    r.second.status = reap(pids_[1], deadline_, &r.second.timed_out);
    waited_ = true;
    return r;
}
