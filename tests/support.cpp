#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

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
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<uid_t> unprivileged_user()
{
    if (geteuid() != 0)
        return std::nullopt;
    return 65534;
}

void give_to(const std::string& path, uid_t uid)
{
    std::error_code ec;
    lchown(path.c_str(), uid, uid);
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        lchown(it->path().c_str(), uid, uid);
}

namespace {

// Forks a child in a process group of its own, set up as a program is started
// in real use, and runs `then` in it.
pid_t start(const RunOptions& opts, int in, int out, int err, const std::function<void()>& then)
{
    std::fflush(nullptr);  // or the child writes what the test had buffered again
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        // Whatever the test runner was started with, and the test process's own
        // ignored SIGPIPE, the program sees the defaults.
        for (int sig : {SIGPIPE, SIGINT, SIGQUIT})
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
    setpgid(pid, pid);
    return pid;
}

RunResult run(const RunOptions& opts, const std::function<void()>& then)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    const pid_t pid = start(opts, in[0], out[1], err[1], then);
    for (int fd : {in[0], out[1], err[1]})
        close(fd);
    RunResult r;
    const Deadline deadline = deadline_after(opts.timeout_seconds);
    pump({{out[0], &r.out}, {err[0], &r.err}, {in[1], nullptr, &opts.input}}, deadline);
    r.status = reap(pid, deadline, &r.timed_out);
    return r;
}

// An execve of `argv` with `env`, its arrays made before the fork.
class Exec {
public:
    Exec(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
    {
        for (const auto& [k, v] : env)
            envs_.push_back(k + "=" + v);
        for (const auto& a : argv)
            argv_.push_back(const_cast<char*>(a.c_str()));
        argv_.push_back(nullptr);
        for (auto& e : envs_)
            env_.push_back(e.data());
        env_.push_back(nullptr);
    }
    void operator()() const { execve(argv_[0], argv_.data(), env_.data()); }

private:
    std::vector<std::string> envs_;
    std::vector<char*> argv_, env_;
};

}  // namespace

pid_t spawn_process(const std::vector<std::string>& argv, const RunOptions& opts, int in, int out,
                    int err)
{
    const Exec exec(argv, opts.env);
    return start(opts, in, out, err, [&] { exec(); });
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& opts)
{
    const Exec exec(argv, opts.env);
    return run(opts, [&] { exec(); });
}

RunResult run_function(const std::function<int()>& body, const RunOptions& opts)
{
    return run(opts, [&] {
        const int status = body();
        std::fflush(nullptr);
        _exit(status);
    });
}

Deadline deadline_after(int seconds)
{
    return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

void pump(std::vector<Stream> streams, Deadline deadline)
{
    signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not end the test
    std::vector<size_t> done(streams.size(), 0);
    for (Stream& s : streams) {
        if (s.from && s.from->empty()) {
            close(s.fd);
            s.fd = -1;
        } else if (s.from) {
            fcntl(s.fd, F_SETFL, O_NONBLOCK);
        }
    }
    auto open = [&] {
        return std::any_of(streams.begin(), streams.end(), [](const Stream& s) { return s.fd >= 0; });
    };
    while (open()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        std::vector<pollfd> fds;
        for (const Stream& s : streams)
            fds.push_back({s.fd, static_cast<short>(s.from ? POLLOUT : POLLIN), 0});
        if (poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 1000))) < 0 &&
            errno != EINTR)
            break;
        for (size_t k = 0; k < streams.size(); ++k) {
            Stream& s = streams[k];
            if (s.fd < 0 || !(fds[k].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR)))
                continue;
            bool finished;
            if (s.from) {
                const ssize_t n = write(s.fd, s.from->data() + done[k], s.from->size() - done[k]);
                if (n > 0)
                    done[k] += static_cast<size_t>(n);
                finished = done[k] == s.from->size() || (n < 0 && errno != EAGAIN && errno != EINTR);
            } else {
                char buf[65536];
                const ssize_t n = read(s.fd, buf, sizeof buf);
                if (n > 0)
                    s.into->append(buf, static_cast<size_t>(n));
                finished = n == 0 || (n < 0 && errno != EINTR);
            }
            if (finished) {
                close(s.fd);
                s.fd = -1;
            }
        }
    }
    for (const Stream& s : streams)
        if (s.fd >= 0)
            close(s.fd);
}

int reap(pid_t pid, Deadline deadline, bool* timed_out)
{
    int ws = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            if (timed_out)
                *timed_out = true;
            while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

std::string vek_binary() { return VEK_BINARY; }

std::map<std::string, std::string> base_env()
{
    const char* path = std::getenv("PATH");
    return {{"PATH", path ? path : "/usr/bin:/bin"}};
}
