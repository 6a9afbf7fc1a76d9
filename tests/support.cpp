#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    const char* base = std::getenv("TEST_TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vek-test.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Make everything writable again so tests that chmod can still be cleaned.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            chmod(it->path().c_str(), 0700);
    }
    chmod(path_.c_str(), 0700);
    std::filesystem::remove_all(path_, ec);
}

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

pid_t spawn_process(const std::vector<std::string>& argv, const RunOptions& opts, int in, int out,
                    int err)
{
    std::vector<std::string> envs;
    for (const auto& [k, v] : opts.env)
        envs.push_back(k + "=" + v);
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : envs)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        // The test process ignores SIGPIPE; the program must see it as it
        // would in real use.
        signal(SIGPIPE, SIG_DFL);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
            _exit(126);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& opts)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    const pid_t pid = spawn_process(argv, opts, in[0], out[1], err[1]);
    close(in[0]);
    close(out[1]);
    close(err[1]);

    RunResult r;
    size_t written = 0;
    int infd = in[1];
    if (opts.input.empty()) {
        close(infd);
        infd = -1;
    } else {
        fcntl(infd, F_SETFL, O_NONBLOCK);
    }
    signal(SIGPIPE, SIG_IGN);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(opts.timeout_seconds);
    int outfd = out[0], errfd = err[0];
    while (outfd >= 0 || errfd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            r.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{outfd, POLLIN, 0}, {errfd, POLLIN, 0}, {infd, POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(std::min<long long>(left, 1000))) < 0 && errno != EINTR)
            break;
        for (int k = 0; k < 2; ++k) {
            int& fd = k == 0 ? outfd : errfd;
            if (fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[65536];
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0) {
                    (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fd);
                    fd = -1;
                }
            }
        }
        if (infd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(infd, opts.input.data() + written, opts.input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                written = opts.input.size();
            if (written == opts.input.size()) {
                close(infd);
                infd = -1;
            }
        }
    }
    for (int fd : {outfd, errfd, infd})
        if (fd >= 0)
            close(fd);
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return r;
}

std::string vek_binary() { return VEK_BINARY; }

std::map<std::string, std::string> base_env()
{
    const char* path = std::getenv("PATH");
    return {{"PATH", path ? path : "/usr/bin:/bin"}};
}
