#include "pair.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

RunningPair::Child RunningPair::start(const PairSide& side, int in, int out)
{
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = spawn_process(side.argv, side.opts, in, out, err[1]);
    close(err[1]);
    Child c;
    c.pid = pid;
    c.errfd = err[0];
    return c;
}

void RunningPair::reap(Child& c, int options)
{
    if (c.reaped)
        return;
    int ws = 0;
    pid_t r;
    while ((r = waitpid(c.pid, &ws, options)) < 0 && errno == EINTR) {
    }
    if (r == c.pid) {
        c.reaped = true;
        c.result.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    }
}

std::pair<RunResult, RunResult> run_pair(const PairSide& first, const PairSide& second)
{
    return RunningPair(first, second).wait();
}

RunningPair::RunningPair(const PairSide& first, const PairSide& second)
    : deadline_(std::chrono::steady_clock::now() + std::chrono::seconds(first.opts.timeout_seconds))
{
    int a_to_b[2], b_to_a[2];
    if (pipe2(a_to_b, O_CLOEXEC) != 0 || pipe2(b_to_a, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    kids_[0] = start(first, b_to_a[0], a_to_b[1]);
    kids_[1] = start(second, a_to_b[0], b_to_a[1]);
    for (int fd : {a_to_b[0], a_to_b[1], b_to_a[0], b_to_a[1]})
        close(fd);
}

RunningPair::~RunningPair()
{
    for (Child& c : kids_) {
        if (c.pid <= 0)
            continue;
        kill(-c.pid, SIGKILL);
        reap(c, 0);
        if (c.errfd >= 0)
            close(c.errfd);
    }
}

std::pair<RunResult, RunResult> RunningPair::wait()
{
    Child (&kids)[2] = kids_;
    const auto deadline = deadline_;
    auto left_ms = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now())
            .count();
    };
    // Collect standard error until both close, then wait for both to end;
    // past the deadline both process groups are killed.
    bool timed_out = false;
    while (kids[0].errfd >= 0 || kids[1].errfd >= 0 || !kids[0].reaped || !kids[1].reaped) {
        const long long left = left_ms();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        if (kids[0].errfd < 0 && kids[1].errfd < 0) {
            reap(kids[0], WNOHANG);
            reap(kids[1], WNOHANG);
            if (!kids[0].reaped || !kids[1].reaped)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        pollfd fds[2] = {{kids[0].errfd, POLLIN, 0}, {kids[1].errfd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::min<long long>(left, 200))) < 0 && errno != EINTR)
            break;
        for (int k = 0; k < 2; ++k) {
            if (kids[k].errfd >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[65536];
                ssize_t n = read(kids[k].errfd, buf, sizeof buf);
                if (n > 0) {
                    kids[k].result.err.append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(kids[k].errfd);
                    kids[k].errfd = -1;
                }
            }
        }
    }
    for (Child& c : kids) {
        if (!c.reaped) {
            c.result.timed_out = timed_out;
            kill(-c.pid, SIGKILL);
            reap(c, 0);
        }
        if (c.errfd >= 0)
            close(c.errfd);
        c.errfd = -1;
    }
    return {kids[0].result, kids[1].result};
}
