// Running a program on the kinds of line a host hands it: the slave side of a
// pseudo-terminal, or one end of a socket pair (blocking or not). On the
// test's end of the line a "middle" stands in for the user's terminal: it
// relays between the line and a peer program (the bare sz or rz), with its
// own TELNET coding when asked, and can stop reading as a stalled terminal
// does. Everything has a time bound, so a fault fails fast.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

enum class LineKind {
    pty,                // slave of a fresh pseudo-terminal, cooked, its controlling terminal
    socket,             // one end of a socket pair (AF_UNIX, SOCK_STREAM)
    nonblocking_socket  // the same with O_NONBLOCK set, as some hosts leave it
};

// A program with a line as its standard input and output, and a pipe as its
// standard error. On a pty it leads a session of its own with the slave as
// controlling terminal; on a socket, a process group of its own. It is
// bounded by opts.timeout_seconds from the start.
class LineProgram {
public:
    LineProgram(LineKind kind, const std::vector<std::string>& argv, const RunOptions& opts);
    // Kills its process group and reaps it.
    ~LineProgram();
    LineProgram(const LineProgram&) = delete;
    LineProgram& operator=(const LineProgram&) = delete;

    pid_t pid() const { return pid_; }
    // The test's end of the line: the pty master, or the other socket.
    int line() const { return line_; }
    // The slave's path (/dev/pts/N); empty for a socket.
    const std::string& tty() const { return tty_; }
    // Waits until it has ended (killed at the time bound): status is the exit
    // status or 128 + signal, err its standard error; out stays empty.
    RunResult wait();

private:
    pid_t pid_ = -1;
    int line_ = -1;
    std::string tty_;
    RunResult result_;
    std::thread reaper_;  // drains standard error, then reaps
};

struct MiddleOptions {
    bool telnet = false;                // double 0xFF towards the line, strip TELNET commands from it
    uint64_t read_limit = UINT64_MAX;   // stop reading the line after this many bytes
};

struct MiddleResult {
    RunResult peer;          // the peer's status and standard error
    uint64_t from_line = 0;  // bytes read from the line, as they came
    uint64_t to_line = 0;    // bytes written to the line, coded
    std::string tail;        // the last (up to 64) bytes read from the line, as they came
    bool line_closed = false;  // the far end closed the line (end of file, hang-up or error)
    bool timed_out = false;    // the relay was cut off at its time bound
};

// Relays between `line` and `peer`, run with pipes as its standard input and
// output, in a thread. It keeps its own copy of `line` and makes it
// non-blocking (for a pty master, the test's copy too: they share the flag).
// It ends when the peer has closed its output, all of that has gone to the
// line, and the line has closed (or reading it stopped at read_limit); or at
// peer.opts' time bound, when the peer is killed.
class Middle {
public:
    Middle(int line, const PairSide& peer, const MiddleOptions& options = {});
    // Stops relaying, kills the peer's process group and reaps it.
    ~Middle();
    Middle(const Middle&) = delete;
    Middle& operator=(const Middle&) = delete;

    pid_t pid() const { return pid_; }
    // So far, while it runs: bytes read from the line, and the last of them.
    uint64_t from_line() const { return from_line_; }
    std::string tail() const;
    MiddleResult wait();

private:
    void relay(std::chrono::steady_clock::time_point deadline);
    void keep(const char* data, size_t n);  // counts bytes from the line, keeps the tail

    MiddleOptions options_;
    pid_t pid_ = -1;
    int line_ = -1, to_peer_ = -1, from_peer_ = -1, peer_err_ = -1;
    int stop_[2] = {-1, -1};  // a pipe: readable once the relay is to stop
    std::atomic<uint64_t> from_line_{0};
    mutable std::mutex mutex_;  // guards result_.tail while it runs
    MiddleResult result_;
    std::thread thread_;
};

struct LineRun {
    RunResult program;
    MiddleResult middle;
};

// Runs `program` on a line of `kind` with a middle and `peer` on the other
// end, until both have ended; each side is bounded by its own opts.
LineRun run_on_line(LineKind kind, const PairSide& program, const PairSide& peer, const MiddleOptions& options = {});
