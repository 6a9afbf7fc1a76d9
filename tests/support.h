// Test helpers: whole-file I/O, and running a program or a function in a child
// process with captured output and a time bound, so that no test can hang.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "diag.h"
#include "tempdir.h"

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data, int mode = 0644);
bool file_exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);  // sorted, without . and ..

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timed_out = false;
};

struct RunOptions {
    std::map<std::string, std::string> env;  // the whole environment of the child
    std::string cwd;                         // empty: the test's own
    std::string input;                       // fed to standard input, then closed
    int timeout_seconds = 60;
    std::optional<uid_t> uid;  // run as this user, with the group of the same number
};

// Who runs the program where permissions are under test: nobody when the tests
// run as root, whom permissions do not stop; otherwise the tests' own user.
std::optional<uid_t> unprivileged_user();
// Hands `path` and everything under it to `uid` and the group of the same number.
void give_to(const std::string& path, uid_t uid);

// Runs `argv` (argv[0] is the path to execute). The child gets its own process
// group, which is killed on timeout.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& opts = {});
// The same for `body` in a forked child; what it returns is the exit status.
RunResult run_function(const std::function<int()>& body, const RunOptions& opts = {});

// Starts `argv` as run_program does, with the given descriptors as its
// standard input, output and error.
pid_t spawn_process(const std::vector<std::string>& argv, const RunOptions& opts, int in, int out,
                    int err);

using Deadline = std::chrono::steady_clock::time_point;
Deadline deadline_after(int seconds);

// A pipe end of ours: read into `into` until it closes, or `from` written to it
// and then closed.
struct Stream {
    int fd;
    std::string* into = nullptr;
    const std::string* from = nullptr;
};
// Moves the data until every stream is done, or the deadline passes; closes them all.
void pump(std::vector<Stream> streams, Deadline deadline);
// Waits for `pid` until the deadline, then kills it and its process group.
// Returns the exit status, or 128 + signal.
int reap(pid_t pid, Deadline deadline, bool* timed_out = nullptr);

// The built program and a minimal environment for it (PATH only).
std::string vek_binary();
std::map<std::string, std::string> base_env();

// Sets the diagnostic level for a scope and puts the previous one back after.
class Verbosity {
public:
    explicit Verbosity(int level) : old_(verbosity()) { set_verbosity(level); }
    ~Verbosity() { set_verbosity(old_); }
    Verbosity(const Verbosity&) = delete;
    Verbosity& operator=(const Verbosity&) = delete;

private:
    int old_;
};
