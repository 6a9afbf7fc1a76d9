// Test helpers: whole-file I/O, and running programs (one, or two back to
// back) in children with captured output and a time bound, so that no test can hang.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "deadline.h"
#include "tempdir.h"

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data, int mode = 0644);
bool file_exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);  // sorted, without . and ..
// The lines of `text` that end in a line feed, each without it; a line still
// being written is left out.
std::vector<std::string> whole_lines(const std::string& text);
// `n` bytes that depend only on `seed`.
std::string random_bytes(size_t n, unsigned seed);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timed_out = false;
};

struct RunOptions {
    std::map<std::string, std::string> env;  // the whole environment of the child
    std::string cwd;                         // empty: the test's own
    int timeout_seconds = 60;
    std::optional<uid_t> uid;  // run as this user, with the group of the same number
};

// Runs `argv` (argv[0] is the path to execute) with standard input empty
// until it ends. The child leads a process group of its own, which is killed
// on timeout.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& opts = {});
// The same for `body` in a forked child; what it returns is the exit status.
RunResult run_function(const std::function<int()>& body, const RunOptions& opts = {});

inline Deadline deadline_after(int seconds) { return Deadline::in(std::chrono::seconds(seconds)); }

// Starts `argv` (argv[0] is the path) with `in`, `out` and `err` as its
// standard streams and the default signal dispositions, in a process group of
// its own; with `terminal`, in a session of its own with `in` as its
// controlling terminal. It is left running.
pid_t spawn(const std::vector<std::string>& argv, const RunOptions& opts, int in, int out, int err,
            bool terminal = false);
// Waits for `pid` until the deadline, then kills it and its process group.
// Returns the exit status, or 128 + signal.
int reap(pid_t pid, Deadline deadline, bool& timed_out);

// Polls until `ready()` holds; false if it still does not after `seconds`.
template <class Ready>
bool eventually(Ready ready, int seconds = 30)
{
    const Deadline deadline = deadline_after(seconds);
    while (!ready()) {
        if (deadline.passed())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Ends the test program with a message when its scope is still running after
// `seconds`, so that a fault that would hang a test fails it fast instead.
class TimeLimit {
public:
    explicit TimeLimit(int seconds);
    ~TimeLimit();
    TimeLimit(const TimeLimit&) = delete;
    TimeLimit& operator=(const TimeLimit&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool over_ = false;
    std::thread watch_;
};

// The built program and a minimal environment for it (PATH only).
std::string vek_binary();
std::map<std::string, std::string> base_env();

struct PairSide {
    std::vector<std::string> argv;
    RunOptions opts;
};

// Two programs back to back, each one's standard output the other's standard
// input, as two nodes of a host are connected; left running so that a test
// can act on it mid-transfer. Both share the time bound of `first`, from the
// start. Standard error is read only in wait(), so a side may write no more
// to it than a pipe holds before then; RunResult::out stays empty (it is the
// wire). Whatever is left of either process group is killed when it goes.
class RunningPair {
public:
    RunningPair(const PairSide& first, const PairSide& second);
    ~RunningPair();
    RunningPair(const RunningPair&) = delete;
    RunningPair& operator=(const RunningPair&) = delete;

    pid_t pid(int side) const { return pids_[side]; }  // side 0 or 1, a group leader
    std::pair<RunResult, RunResult> wait();

private:
    pid_t pids_[2] = {-1, -1};
    int errfds_[2] = {-1, -1};
    bool waited_ = false;
    Deadline deadline_;
};

inline std::pair<RunResult, RunResult> run_pair(const PairSide& first, const PairSide& second)
{
    return RunningPair(first, second).wait();
}
