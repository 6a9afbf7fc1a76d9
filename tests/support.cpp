#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& data, int mode)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> whole_lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    uint32_t word = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 4 == 0)
            word = gen();
        s[i] = static_cast<char>(word >> (8 * (i % 4)));
    }
    return s;
}

std::string vek_binary() { return VEK_BINARY; }

std::map<std::string, std::string> base_env()
{
    const char* path = std::getenv("PATH");
    return {{"PATH", path ? path : "/usr/bin:/bin"}};
}

namespace {

// Forks a child set up as a program is started in real use (a process group
// of its own, or with `terminal` a session of its own with its standard
// input as controlling terminal), and runs `then` in it.
pid_t start(const RunOptions& opts, int in, int out, int err, bool terminal, const std::function<void()>& then)
{
    std::fflush(nullptr);  // or the child writes what the test had buffered again
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (terminal ? setsid() < 0 || ioctl(in, TIOCSCTTY, 0) < 0 : setpgid(0, 0) < 0)
            _exit(124);
        // Whatever the test runner was started with, the program sees the defaults.
        for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (opts.uid && (setgroups(0, nullptr) != 0 || setgid(*opts.uid) != 0 || setuid(*opts.uid) != 0))
            _exit(125);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
            _exit(126);
        then();
        _exit(127);
    }
    if (!terminal)
        setpgid(pid, pid);  // no window in which killing the group misses it
    return pid;
}

}  // namespace

// execve's arrays are made before the fork: a test may run programs from
// several threads, and a child of a threaded process must not allocate.
pid_t spawn(const std::vector<std::string>& argv, const RunOptions& opts, int in, int out, int err, bool terminal)
{
    std::vector<std::string> envs;
    for (const auto& [k, v] : opts.env)
        envs.push_back(k + "=" + v);
    std::vector<char*> av, ev;
    for (const auto& a : argv)
        av.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : envs)
        ev.push_back(e.data());
    av.push_back(nullptr);
    ev.push_back(nullptr);
    return start(opts, in, out, err, terminal, [&] { execve(av[0], av.data(), ev.data()); });
}


int reap(pid_t pid, Deadline deadline, bool& timed_out)
{
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        throw std::runtime_error("pidfd_open failed");
    pollfd ended{pidfd, POLLIN, 0};
    while (poll(&ended, 1, deadline.remaining_ms()) < 0 && errno == EINTR) {
    }
    close(pidfd);
    if (!(ended.revents & POLLIN)) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        timed_out = true;
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

namespace {

// Reads each descriptor into its string until all are closed or the deadline
// passes; closes them all. Pipes, as a host gives: a file would take a limit
// on file sizes that a test sets for the program.
void pump(std::vector<std::pair<int, std::string*>> streams, Deadline deadline)
{
    std::vector<pollfd> fds;
    for (const auto& s : streams)
        fds.push_back({s.first, POLLIN, 0});
    for (size_t open = fds.size(); open > 0;) {
        const int ready = deadline.passed() ? 0 : poll(fds.data(), fds.size(), deadline.remaining_ms());
        if (ready == 0 || (ready < 0 && errno != EINTR))
            break;
        for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
            if (!fds[k].revents)
                continue;
            char buf[65536];
            const ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                streams[k].second->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
}

RunResult run(const RunOptions& opts, const std::function<pid_t(int in, int out, int err)>& spawn_it)
{
    int out[2], err[2];
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in < 0 || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    const pid_t pid = spawn_it(in, out[1], err[1]);
    for (int fd : {in, out[1], err[1]})
        close(fd);
    RunResult r;
    const Deadline deadline = deadline_after(opts.timeout_seconds);
    pump({{out[0], &r.out}, {err[0], &r.err}}, deadline);
    r.status = reap(pid, deadline, r.timed_out);
    return r;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& opts)
{
    return run(opts, [&](int in, int out, int err) { return spawn(argv, opts, in, out, err); });
}

RunResult run_function(const std::function<int()>& body, const RunOptions& opts)
{
    return run(opts, [&](int in, int out, int err) {
        return start(opts, in, out, err, false, [&] {
            const int status = body();
            std::fflush(nullptr);
            _exit(status);
        });
    });
}

RunningPair::RunningPair(const PairSide& first, const PairSide& second)
    : deadline_(deadline_after(first.opts.timeout_seconds))
{
    int a_to_b[2], b_to_a[2], a_err[2], b_err[2];
    if (pipe2(a_to_b, O_CLOEXEC) || pipe2(b_to_a, O_CLOEXEC) || pipe2(a_err, O_CLOEXEC) || pipe2(b_err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pids_[0] = spawn(first.argv, first.opts, b_to_a[0], a_to_b[1], a_err[1]);
    pids_[1] = spawn(second.argv, second.opts, a_to_b[0], b_to_a[1], b_err[1]);
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
    r.first.status = reap(pids_[0], deadline_, r.first.timed_out);
    r.second.status = reap(pids_[1], deadline_, r.second.timed_out);
    waited_ = true;
    return r;
}

TimeLimit::TimeLimit(int seconds)
    : watch_([this, seconds] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, std::chrono::seconds(seconds), [this] { return over_; })) {
              const auto* test = testing::UnitTest::GetInstance()->current_test_info();
              std::fprintf(stderr, "%s.%s: still running after %d s: a fault hangs it\n",
                           test ? test->test_suite_name() : "?", test ? test->name() : "?", seconds);
              std::_Exit(1);
          }
      })
{
}

TimeLimit::~TimeLimit()
{
    {
        std::lock_guard lock(mutex_);
        over_ = true;
    }
    done_.notify_one();
    watch_.join();
}
