#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

// One thread per direction, each with every signal blocked (the signals are
// the main thread's business, and a write to a line that is gone then fails
// with EPIPE instead of raising SIGPIPE). A direction that waits, on a
// stalled client or on a command that does not read, waits in the kernel and
// holds up nothing else, so there is no deadlock and no polling loop; the
// connection is read and written with plain blocking calls, so its flags stay
// as the host set them. Each thread moves up to `block` bytes a turn through
// buffers it allocates once. The inward thread waits in poll() on the
// connection, the command's input (ours is non-blocking: the pipe is private)
// and the stop eventfd, so finish() can end it wherever it is. While data
// streams, each turn first lets it gather for a moment (LinePacing below).

namespace {

constexpr size_t block = size_t{64} * 1024;
// Room in each of the command's pipes (best effort: the system may cap it),
// so that a command writes ahead while the relay gathers.
constexpr int pipe_room = 256 * 1024;

// The commands write a few hundred bytes at a time; a relay that woke for
// each write made a large transfer about a third slower. So while data streams (the last read was less than `streaming`
// ago), each read waits `pause` first and takes what gathered meanwhile. A
// lone exchange (a header and its answer) is read at once, and a pause never
// happens without data ready: a stalled line costs nothing.
class LinePacing {
public:
    void before_read()
    {
        long long now = clock_ns();
        if (now - last_ < streaming) {
            const timespec pause_time{0, pause};
            nanosleep(&pause_time, nullptr);
            now = clock_ns();
        }
        last_ = now;
    }

private:
    static constexpr long long streaming = 1000000;
    static constexpr long pause = 250000;

    static long long clock_ns()
    {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec * 1000000000LL + t.tv_nsec;
    }

    long long last_ = -streaming;
};

// Waits until `fd` is ready for `events` or the relay is to stop; false for
// the stop or a failure.
bool wait_for(int fd, short events, int stop)
{
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        return !(fds[1].revents & POLLIN);
    }
}

// Writes all of data, however often `fd` takes only part of it or asks to
// wait (the host may have made it non-blocking); false when that fails or
// the relay is to stop.
bool write_all(int fd, const char* data, size_t size, int stop)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (!wait_for(fd, POLLOUT, stop))
                return false;
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

}  // namespace

TelnetRelay::TelnetRelay(int from, int to) : from_(from), to_(to)
{
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
    stop_ = UniqueFd(eventfd(0, EFD_CLOEXEC));
}

TelnetRelay::~TelnetRelay()
{
    stop();
    if (outward_.joinable())
        outward_.join();
    if (inward_.joinable())
        inward_.join();
}

void TelnetRelay::stop()
{
    if (!stop_)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
}

void TelnetRelay::start()
{
    child_in_.reset();
    child_out_.reset();
    if (!in_ || !out_ || !stop_ || inward_.joinable())
        return;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);  // the threads start with this mask
    try {
        inward_ = std::thread(&TelnetRelay::relay_in, this);
        outward_ = std::thread(&TelnetRelay::relay_out, this);
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void TelnetRelay::finish()
{
    child_in_.reset();
    child_out_.reset();
    if (outward_.joinable())
        outward_.join();
    stop();
    if (inward_.joinable())
        inward_.join();
    in_.reset();
    out_.reset();
}

void TelnetRelay::relay_in()
{
    std::vector<char> buf(block);
    LinePacing pacing;
    while (wait_for(from_, POLLIN, stop_.get())) {
        pacing.before_read();
        const ssize_t n = ::read(from_, buf.data(), buf.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        const std::span<char> got(buf.data(), static_cast<size_t>(n));
        const size_t data = decoder_.decode(got, got);
        // Fails when we are to stop, or when the command no longer reads.
        if (!write_all(in_.get(), buf.data(), data, stop_.get()))
            break;
    }
    in_.reset();  // the command's input ends here
}

void TelnetRelay::relay_out()
{
    std::vector<char> raw(block), coded(2 * block);
    LinePacing pacing;
    while (wait_for(out_.get(), POLLIN, stop_.get())) {
        pacing.before_read();
        const ssize_t n = ::read(out_.get(), raw.data(), raw.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;  // the command and all it started are done writing
        const size_t size = telnet_encode({raw.data(), static_cast<size_t>(n)}, coded);
        if (!write_all(to_, coded.data(), size, stop_.get())) {
            stop();  // the inward thread closes the command's input
            break;
        }
    }
    out_.reset();  // a command that writes on meets a broken pipe, as on a cut line
}
