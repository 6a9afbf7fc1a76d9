#include "pair.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

std::pair<RunResult, RunResult> run_pair(const PairSide& first, const PairSide& second)
{
    int a_to_b[2], b_to_a[2], a_err[2], b_err[2];
    if (pipe2(a_to_b, O_CLOEXEC) || pipe2(b_to_a, O_CLOEXEC) || pipe2(a_err, O_CLOEXEC) ||
        pipe2(b_err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    const pid_t a = spawn_process(first.argv, first.opts, b_to_a[0], a_to_b[1], a_err[1]);
    const pid_t b = spawn_process(second.argv, second.opts, a_to_b[0], b_to_a[1], b_err[1]);
    for (int fd : {a_to_b[0], a_to_b[1], b_to_a[0], b_to_a[1], a_err[1], b_err[1]})
        close(fd);

    std::pair<RunResult, RunResult> r;
    const Deadline deadline = deadline_after(first.opts.timeout_seconds);
    pump({{a_err[0], &r.first.err}, {b_err[0], &r.second.err}}, deadline);
    r.first.status = reap(a, deadline, &r.first.timed_out);
    r.second.status = reap(b, deadline, &r.second.timed_out);
    return r;
}
