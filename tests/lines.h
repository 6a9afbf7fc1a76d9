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

// A terminal's mode read on `fd` (either side of a pty), as text that names
// every flag word and control character, to compare; empty if no terminal.
std::string terminal_mode(int fd);

// Whether `pid` runs (a zombie has ended; a stopped process runs).
bool running_process(pid_t pid);
// The one child of `pid`, as /proc lists it; -1 when none.
pid_t child_of(pid_t pid);

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
    // The terminal's mode as set up before the program started, and now
    // (read on the master); empty for a socket.
    const std::string& mode_at_start() const { return mode_at_start_; }
    std::string mode() const { return terminal_mode(line_); }
    // After wait(): the file status flags of the program's end of the line as
    // it left them (the test keeps that end open until the program has ended).
    int line_flags() const { return line_flags_; }
    // Waits until it has ended (killed at the time bound): status is the exit
    // status or 128 + signal, err its standard error; out stays empty.
    RunResult wait();

private:
    pid_t pid_ = -1;
    int line_ = -1;
    std::string tty_, mode_at_start_;
    int line_flags_ = -1;
    RunResult result_;
    std::thread reaper_;  // drains standard error, then reaps
};

struct MiddleOptions {
    bool telnet = false;                // double 0xFF towards the line, strip TELNET commands from it
    uint64_t read_limit = UINT64_MAX;   // stop reading the line after this many bytes
    // When set, nothing of the peer's goes to the line until the line has
    // carried this (at most 64 bytes), as a terminal starts its side of a
    // transfer when it sees the other's begin.
    std::string wait_for = {};
    int read_pause_ms = 0;  // after each read, as a slow line
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
    // So far, while it runs: bytes read from the line, and the last of them;
    // bytes written to it.
    uint64_t from_line() const { return from_line_; }
    std::string tail() const;
    uint64_t to_line() const { return to_line_; }
    // Reads the line no more from now on, as a terminal that stalls.
    void stop_reading() { stop_reading_ = true; }
    MiddleResult wait();

private:
    void relay(Deadline deadline);
    void keep(const char* data, size_t n);  // counts bytes from the line, keeps the tail, looks for wait_for

    MiddleOptions options_;
    pid_t pid_ = -1;
    int line_ = -1, to_peer_ = -1, from_peer_ = -1, peer_err_ = -1;
    int stop_[2] = {-1, -1};  // a pipe: readable once the relay is to stop
    std::atomic<uint64_t> from_line_{0}, to_line_{0};
    std::atomic<bool> stop_reading_{false};
    bool heard_ = false;  // options_.wait_for has come
    mutable std::mutex mutex_;  // guards result_.tail while it runs
    MiddleResult result_;
    std::thread thread_;
};

struct LineRun {
    RunResult program;
    MiddleResult middle;
    std::string mode_at_start, mode_after;  // the terminal's, before and once the program ended
    int line_flags = -1;                    // LineProgram::line_flags()
};

// Runs `program` on a line of `kind` with a middle and `peer` on the other
// end, until both have ended; each side is bounded by its own opts.
LineRun run_on_line(LineKind kind, const PairSide& program, const PairSide& peer, const MiddleOptions& options = {});
