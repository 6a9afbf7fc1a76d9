#include "lines.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace {

void check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + " failed");
}

void nonblocking(int fd) { check(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0, "fcntl"); }

bool again(ssize_t n) { return n < 0 && (errno == EAGAIN || errno == EINTR); }

constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, DONT = 254;

// TELNET coding written apart from the program's own, so that one cannot
// hide a fault of the other.
struct Decoder {
    enum { data, command, option, sub, sub_command } state = data;

    void put(unsigned char b, std::string& out)
    {
        switch (state) {
        case data:
            if (b == IAC)
                state = command;
            else
                out += static_cast<char>(b);
            break;
        case command:
            if (b == IAC)
                out += static_cast<char>(b);
            state = b == SB ? sub : b >= WILL && b <= DONT ? option : data;
            break;
        case option:
            state = data;
            break;
        case sub:
            if (b == IAC)
                state = sub_command;
            break;
        case sub_command:
            state = b == SE ? data : sub;
            break;
        }
    }
};

}  // namespace

// --- A program on a line ---------------------------------------------------

std::string terminal_mode(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return "";
    char words[128];
    std::snprintf(words, sizeof words, "iflag %o oflag %o cflag %o lflag %o cc", t.c_iflag, t.c_oflag, t.c_cflag,
                  t.c_lflag);
    std::string text = words;
    for (const cc_t c : t.c_cc) {
        std::snprintf(words, sizeof words, " %02x", c);
        text += words;
    }
    return text;
}

LineProgram::LineProgram(LineKind kind, const std::vector<std::string>& argv, const RunOptions& opts)
{
    const Deadline deadline = deadline_after(opts.timeout_seconds);
    int err[2], theirs = -1;
    check(pipe2(err, O_CLOEXEC) == 0, "pipe");
    if (kind == LineKind::pty) {
        line_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64];
        check(line_ >= 0 && grantpt(line_) == 0 && unlockpt(line_) == 0 && ptsname_r(line_, name, sizeof name) == 0,
              "posix_openpt");
        tty_ = name;
        theirs = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        // Cooked, as a host leaves it; a fresh pty is, but say so.
        termios t{};
        check(theirs >= 0 && tcgetattr(theirs, &t) == 0, "open pty slave");
        t.c_iflag |= ICRNL | IXON;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG;
        check(tcsetattr(theirs, TCSANOW, &t) == 0, "tcsetattr");
        mode_at_start_ = terminal_mode(line_);
    } else {
        int sv[2];
        check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
        line_ = sv[0];
        theirs = sv[1];
        if (kind == LineKind::nonblocking_socket)
            nonblocking(theirs);
    }
    pid_ = spawn(argv, opts, theirs, theirs, err[1], kind == LineKind::pty);
    // Once the program has ended, only what it left running holds its end,
    // so that the line's end of file (or hang-up) is theirs; till then we
    // hold it too, to read the flags it was left with.
    close(err[1]);
    reaper_ = std::thread([this, fd = err[0], theirs, deadline] {
        char buf[4096];
        for (pollfd p{fd, POLLIN, 0};;) {
            const int ready = poll(&p, 1, deadline.remaining_ms());
            if (ready == 0 || (ready < 0 && errno != EINTR))
                break;
            const ssize_t n = ready > 0 ? read(fd, buf, sizeof buf) : 0;
            if (n > 0)
                result_.err.append(buf, static_cast<size_t>(n));
            else if (ready > 0 && !again(n))
                break;
        }
        close(fd);
        result_.status = reap(pid_, deadline, result_.timed_out);
        line_flags_ = fcntl(theirs, F_GETFL);
        close(theirs);
    });
}

LineProgram::~LineProgram()
{
    if (reaper_.joinable()) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        reaper_.join();
    }
    close(line_);
}

RunResult LineProgram::wait()
{
    if (reaper_.joinable())
        reaper_.join();
    return result_;
}

bool running_process(pid_t pid)
{
    try {
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        return stat.at(stat.rfind(')') + 2) != 'Z';
    } catch (const std::exception&) {
        return false;
    }
}

pid_t child_of(pid_t pid)
{
    const std::string p = std::to_string(pid);
    try {
        const std::string children = read_file("/proc/" + p + "/task/" + p + "/children");
        return children.empty() ? -1 : std::stoi(children);
    } catch (const std::exception&) {
        return -1;  // it has ended, and been reaped
    }
}

// --- The middle --------------------------------------------------------------

Middle::Middle(int line, const PairSide& peer, const MiddleOptions& options)
    : options_(options), heard_(options.wait_for.empty())
{
    const Deadline deadline = deadline_after(peer.opts.timeout_seconds);
    int in[2], out[2], err[2];
    check(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 &&
              pipe2(stop_, O_CLOEXEC) == 0,
          "pipe");
    line_ = fcntl(line, F_DUPFD_CLOEXEC, 3);
    check(line_ >= 0, "dup");
    pid_ = spawn(peer.argv, peer.opts, in[0], out[1], err[1], false);
    for (int fd : {in[0], out[1], err[1]})
        close(fd);
    to_peer_ = in[1];
    from_peer_ = out[0];
    peer_err_ = err[0];
    for (int fd : {line_, to_peer_, from_peer_, peer_err_})
        nonblocking(fd);
    thread_ = std::thread([this, deadline] { relay(deadline); });
}

Middle::~Middle()
{
    if (thread_.joinable()) {
        const char stop = 0;
        (void)!write(stop_[1], &stop, 1);
        thread_.join();
    }
    close(stop_[0]);
    close(stop_[1]);
}

std::string Middle::tail() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return result_.tail;
}

MiddleResult Middle::wait()
{
    if (thread_.joinable())
        thread_.join();
    return result_;
}

void Middle::keep(const char* data, size_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    from_line_ += n;
    result_.tail.append(data, n);
    if (result_.tail.size() > 64)
        result_.tail.erase(0, result_.tail.size() - 64);
    heard_ = heard_ || result_.tail.find(options_.wait_for) != std::string::npos;
}

void Middle::relay(Deadline deadline)
{
    // A write to a peer that has gone fails as a write, not as the test's end.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    constexpr size_t high = 1 << 16;  // what a side may have waiting before it is read no more
    std::string to_peer, to_line, &err = result_.peer.err;
    Decoder decoder;
    bool reading = options_.read_limit > 0, read_ended = false, write_failed = false, stopped = false;
    auto gone = [](int& fd) {
        close(fd);
        fd = -1;
    };
    char buf[65536];
    for (;;) {
        reading = reading && !stop_reading_;
        // The line has ended and the peer has had all of it: its input ends too.
        if (read_ended && to_peer.empty() && to_peer_ >= 0)
            gone(to_peer_);
        if (from_peer_ < 0 && peer_err_ < 0 && (to_line.empty() || write_failed) && (read_ended || !reading))
            break;
        // Watched to write, to read, or (reading stopped) to see it hang up.
        const bool watch_line = reading || (!write_failed && (!to_line.empty() || !read_ended));
        pollfd fds[] = {
            {watch_line ? line_ : -1,
             static_cast<short>((reading && to_peer.size() < high ? POLLIN : 0) | (to_line.empty() ? 0 : POLLOUT)), 0},
            {to_peer.empty() ? -1 : to_peer_, POLLOUT, 0},
            {(heard_ || read_ended) && (to_line.size() < high || write_failed) ? from_peer_ : -1, POLLIN, 0},
            {peer_err_, POLLIN, 0},
            {stop_[0], POLLIN, 0},
        };
        const int ready = poll(fds, std::size(fds), deadline.remaining_ms());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            result_.timed_out = true;
            break;
        }
        if (fds[4].revents) {
            stopped = true;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (reading) {
                const uint64_t room = options_.read_limit - from_line_;
                const ssize_t n = read(line_, buf, static_cast<size_t>(std::min<uint64_t>(sizeof buf, room)));
                if (n > 0) {
                    keep(buf, static_cast<size_t>(n));
                    if (!options_.telnet)
                        to_peer.append(buf, static_cast<size_t>(n));
                    else
                        for (ssize_t k = 0; k < n; ++k)
                            decoder.put(static_cast<unsigned char>(buf[k]), to_peer);
                    reading = from_line_ < options_.read_limit;
                    std::this_thread::sleep_for(std::chrono::milliseconds(options_.read_pause_ms));
                } else if (!again(n)) {
                    reading = false;  // end of file, or EIO from a master whose slave has closed
                    read_ended = result_.line_closed = true;
                }
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                read_ended = write_failed = result_.line_closed = true;
            }
        }
        if ((fds[0].revents & POLLOUT) && !write_failed) {
            const ssize_t n = write(line_, to_line.data(), to_line.size());
            if (n > 0) {
                to_line.erase(0, static_cast<size_t>(n));
                to_line_ += static_cast<uint64_t>(n);
            } else if (!again(n)) {
                write_failed = result_.line_closed = true;
            }
        }
        if (write_failed)
            to_line.clear();
        if (fds[1].revents) {
            const ssize_t n = write(to_peer_, to_peer.data(), to_peer.size());
            if (n > 0) {
                to_peer.erase(0, static_cast<size_t>(n));
            } else if (!again(n)) {  // the peer has stopped reading: what it would get goes
                to_peer.clear();
                gone(to_peer_);
            }
        }
        if (fds[2].revents) {
            const ssize_t n = read(from_peer_, buf, sizeof buf);
            if (n > 0) {
                for (ssize_t k = 0; k < n; ++k) {
                    to_line += buf[k];
                    if (options_.telnet && static_cast<unsigned char>(buf[k]) == IAC)
                        to_line += buf[k];
                }
            } else if (!again(n)) {
                gone(from_peer_);
            }
        }
        if (fds[3].revents) {
            const ssize_t n = read(peer_err_, buf, sizeof buf);
            if (n > 0)
                err.append(buf, static_cast<size_t>(n));
            else if (!again(n))
                gone(peer_err_);
        }
    }
    result_.from_line = from_line_;
    result_.to_line = to_line_;
    for (int* fd : {&line_, &to_peer_, &from_peer_, &peer_err_})
        if (*fd >= 0)
            gone(*fd);
    if (stopped || result_.timed_out) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
    }
    result_.peer.status = reap(pid_, deadline, result_.peer.timed_out);
}

LineRun run_on_line(LineKind kind, const PairSide& program, const PairSide& peer, const MiddleOptions& options)
{
    LineProgram running(kind, program.argv, program.opts);
    Middle middle(running.line(), peer, options);
    LineRun r;
    r.program = running.wait();
    r.line_flags = running.line_flags();
    r.middle = middle.wait();
    r.mode_at_start = running.mode_at_start();
    r.mode_after = running.mode();
    return r;
}
