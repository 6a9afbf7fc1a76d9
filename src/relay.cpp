#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

// One thread per direction, each with every signal blocked (the signals are
// the main thread's business). Neither ever blocks on the line (LineEnd): each
// waits in poll() on what it needs and on eventfds that end the wait, so a
// stalled user holds up nothing else and the relay can always be cut short. Each
// moves up to `block` bytes a turn through buffers it allocates once. Over
// TELNET, while data streams, each turn first lets it gather for a moment
// (LinePacing).

namespace {

constexpr size_t block = size_t{64} * 1024;
// Room in each of the command's pipes (best effort: the system may cap it),
// so that a command writes ahead while the relay gathers.
constexpr int pipe_room = 256 * 1024;

// The commands write a few hundred bytes at a time; over TELNET, a relay
// that woke for each write made a large transfer about a tenth slower and
// cost twice the CPU. So while data streams (the last read was less than
// `streaming` ago), each read waits `pause` first and takes what gathered
// meanwhile. A lone exchange (a header and its answer) is read at once, and a
// pause never happens without data ready: a stalled line costs nothing. On a
// terminal, whose writes already make the reads large, the pause bought
// nothing and cost about 3%, so it is left out there.
class LinePacing {
public:
    explicit LinePacing(bool on) : on_(on) {}
    void before_read()
    {
        if (!on_)
            return;
        Clock::time_point now = Clock::now();
        if (now - last_ < streaming) {
            const timespec pause_time{0, pause};
            nanosleep(&pause_time, nullptr);
            now = Clock::now();
        }
        last_ = now;
    }

private:
    static constexpr std::chrono::microseconds streaming{1000};
    static constexpr long pause = 250000;

    bool on_;
    Clock::time_point last_{};
};

void signal_fd(const UniqueFd& fd)
{
    const uint64_t one = 1;
    if (fd)
        [[maybe_unused]] ssize_t n = ::write(fd.get(), &one, sizeof one);
}

enum class Woke { end, ready, nudged };

// Waits until `fd` is ready for `events`, or `nudge` (an eventfd, then read)
// became readable; `end` when `end` or `end2` became readable first, or poll
// failed.
Woke wait_for(int fd, short events, int end, int end2 = -1, int nudge = -1)
{
    for (;;) {
        pollfd fds[4] = {{fd, events, 0}, {end, POLLIN, 0}, {end2, POLLIN, 0}, {nudge, POLLIN, 0}};
        if (poll(fds, 4, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Woke::end;
        }
        if ((fds[1].revents | fds[2].revents) & POLLIN)
            return Woke::end;
        if (fds[3].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(nudge, &count, sizeof count);
        }
        return fds[0].revents ? Woke::ready : Woke::nudged;
    }
}

// Writes all of data to `out` however often it takes only part or asks to
// wait; false when that fails or `end` became readable first.
template <class Out>
bool write_all(Out&& out, int fd, const char* data, size_t size, int end)
{
    while (size > 0) {
        const ssize_t n = out(data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (wait_for(fd, POLLOUT, end) == Woke::end)
                return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

// The mode sz and rz set for a transfer: 8 bits, no echo, no signals from
// keys, no translation either way; and their flow control: a sender may be
// paused by the terminal's XOFF, a receiver asks the terminal to pause.
termios raw_mode(termios t, bool command_sends)
{
    cfmakeraw(&t);
    t.c_iflag |= command_sends ? IXON : IXOFF;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return t;
}

// Sets a terminal's mode even from a background process group, which would
// otherwise be stopped for it.
void set_mode(int fd, int when, const termios& t)
{
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &old);
    while (tcsetattr(fd, when, &t) != 0 && errno == EINTR) {
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

LineEnd::LineEnd(int fd, int mode) : fd_(fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return;
    socket_ = S_ISSOCK(st.st_mode);
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        own_ = UniqueFd(::open(self.c_str(), mode | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        const int flags = own_ ? -1 : fcntl(fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0)
            found_flags_ = flags;
    }
}

void LineEnd::let_go()
{
    own_.reset();
    if (found_flags_ >= 0)
        fcntl(fd_, F_SETFL, found_flags_);
    found_flags_ = -1;
}

ssize_t LineEnd::pull(char* buf, size_t size)
{
    return socket_ ? ::recv(fd_, buf, size, MSG_DONTWAIT) : ::read(fd(), buf, size);
}

ssize_t LineEnd::push(const char* buf, size_t size)
{
    return socket_ ? ::send(fd_, buf, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd(), buf, size);
}

LineRelay::LineRelay(Coding coding, bool command_sends, int from, int to, RelayWatch watch)
    : coding_(coding), command_sends_(command_sends), from_(from, O_RDONLY), to_(to, O_WRONLY),
      cancel_run_(command_sends ? watch.cancel_run : 0)
{
    if (watch.streaming_receive && !command_sends)
        streaming_.emplace();
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return;
    child_in_ = UniqueFd(in[0]);
    in_ = UniqueFd(in[1]);
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    out_ = UniqueFd(out[0]);
    child_out_ = UniqueFd(out[1]);
    fcntl(in_.get(), F_SETFL, O_NONBLOCK);
    fcntl(in_.get(), F_SETPIPE_SZ, pipe_room);
    fcntl(out_.get(), F_SETPIPE_SZ, pipe_room);
    quit_ = UniqueFd(eventfd(0, EFD_CLOEXEC));
    drop_ = UniqueFd(eventfd(0, EFD_CLOEXEC));
    done_ = UniqueFd(eventfd(0, EFD_CLOEXEC));
    answered_ = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (isatty(from) && tcgetattr(from, &found_) == 0)
        terminal_ = from;
}

LineRelay::~LineRelay()
{
    abandon();  // a line that takes nothing holds up no end
    signal_fd(quit_);
    if (outward_.joinable())
        outward_.join();
    if (inward_.joinable())
        inward_.join();
    restore_terminal();
}

void LineRelay::start()
{
    child_in_.reset();
    child_out_.reset();
    if (!in_ || !out_ || !quit_ || !drop_ || !done_ || !answered_ || inward_.joinable())
        return;
    if (terminal_ >= 0)
        set_mode(terminal_, TCSANOW, raw_mode(found_, command_sends_));
    active_ = Clock::now().time_since_epoch().count();
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);  // the threads start with this mask
    try {
        inward_ = std::thread(&LineRelay::relay_in, this);
        outward_ = std::thread(&LineRelay::relay_out, this);
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void LineRelay::abandon()
{
    dropping_ = true;
    signal_fd(drop_);
}

void LineRelay::finish(SignalHold& hold)
{
    child_in_.reset();
    child_out_.reset();
    if (outward_.joinable()) {
        // The line gets what it takes while it takes something; it is given
        // up on a while after a stop, or once it has taken nothing for a
        // while since the command ended. Then the relay ends at once, also
        // when a process the command left behind still holds its output.
        const Clock::time_point ended = Clock::now();
        for (;;) {
            const Clock::time_point moved = std::max(ended, Clock::time_point(Clock::duration(moved_.load())));
            const Deadline give_up =
                hold.after_stop(bounds::stop_grace).earlier(Deadline(moved + bounds::idle_line));
            const bool over = give_up.passed();
            if (over) {
                abandon();
                signal_fd(quit_);
            }
            pollfd done{done_.get(), POLLIN, 0};
            timespec left{};
            if (ppoll(&done, 1, over ? nullptr : give_up.remaining(left), &hold.wait_mask()) > 0)
                break;
        }
        outward_.join();
    }
    signal_fd(quit_);
    if (inward_.joinable())
        inward_.join();
    in_.reset();
    out_.reset();
    restore_terminal();
    from_.let_go();
    to_.let_go();
}

void LineRelay::restore_terminal()
{
    if (terminal_ < 0)
        return;
    // As found, once what we sent has gone out; nothing is flushed away. A
    // line given up on is not waited for (a serial line held by flow control
    // would never drain).
    set_mode(terminal_, dropping_ ? TCSANOW : TCSADRAIN, found_);
    terminal_ = -1;
}

void LineRelay::relay_in()
{
    std::vector<char> buf(block);
    LinePacing pacing(coding_ == Coding::telnet);
    const auto to_command = [this](const char* data, size_t size) {
        // Fails when we are to end, or when the command no longer reads.
        return write_all([&](const char* d, size_t s) { return ::write(in_.get(), d, s); }, in_.get(), data, size,
                         quit_.get());
    };
    for (;;) {
        // A YMODEM-G sender's blocks wait for rz to answer the one before;
        // the line is read on while not too much is held.
        if (streaming_) {
            const std::string next = streaming_->next_for_command();
            if (!next.empty() && !to_command(next.data(), next.size()))
                break;
        }
        const bool room = !streaming_ || streaming_->held() < block;
        // rz's answer nudges the wait, so that the next block goes at once.
        const Woke woke = wait_for(room ? from_.fd() : -1, POLLIN, quit_.get(), drop_.get(), answered_.get());
        if (woke == Woke::end)
            break;
        if (woke == Woke::nudged)
            continue;
        pacing.before_read();
        const ssize_t n = from_.pull(buf.data(), buf.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            cut_ = true;
            break;
        }
        active_ = Clock::now().time_since_epoch().count();
        size_t size = static_cast<size_t>(n);
        if (coding_ == Coding::telnet) {
            const std::span<char> got(buf.data(), size);
            size = decoder_.decode(got, got);
        }
        for (size_t i = 0; cancel_run_ > 0 && i < size; ++i) {
            cans_ = buf[i] == '\x18' ? cans_ + 1 : 0;
            if (cans_ >= cancel_run_ && cancelled_at_ == 0)
                cancelled_at_ = Clock::now().time_since_epoch().count();
        }
        if (streaming_)
            streaming_->from_sender({buf.data(), size});
        else if (!to_command(buf.data(), size))
            break;
    }
    in_.reset();  // the command's input ends here
}

void LineRelay::relay_out()
{
    std::vector<char> raw(block), coded(coding_ == Coding::telnet ? 2 * block : 0);
    LinePacing pacing(coding_ == Coding::telnet);
    auto to_line = [this](const char* d, size_t s) {
        const ssize_t n = to_.push(d, s);
        if (n > 0) {
            moved_ = Clock::now().time_since_epoch().count();
            active_ = moved_.load();
        }
        return n;
    };
    while (wait_for(out_.get(), POLLIN, quit_.get()) != Woke::end) {
        pacing.before_read();
        const ssize_t n = ::read(out_.get(), raw.data(), raw.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;  // the command and all it started are done writing
        if (dropping_)
            continue;
        const char* data = raw.data();
        size_t size = static_cast<size_t>(n);
        std::string answers;  // rz's, as a YMODEM-G sender is to have them: a few bytes
        if (streaming_) {
            answers = streaming_->to_sender({data, size});
            data = answers.data();
            size = answers.size();
            signal_fd(answered_);  // the next block may go to rz
        }
        if (coding_ == Coding::telnet) {
            size = telnet_encode({data, size}, coded);
            data = coded.data();
        }
        if (!write_all(to_line, to_.fd(), data, size, drop_.get()) && !dropping_) {
            cut_ = true;
            signal_fd(drop_);  // the line failed: the inward direction closes the command's input
            break;
        }
    }
    out_.reset();  // a command that writes on meets a broken pipe, as on a cut line
    signal_fd(done_);
}
