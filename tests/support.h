// Test helpers: private temporary directories, whole-file I/O, and running a
// program with captured output and a time bound so that no test can hang.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// A private directory, removed with everything in it when the test ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

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
};

// Runs `argv` (argv[0] is the path to execute). The child gets its own process
// group, which is killed on timeout.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& opts = {});

// Starts `argv` in a process group of its own with the given descriptors as its
// standard input, output and error, and `opts.env` and `opts.cwd`.
pid_t spawn_process(const std::vector<std::string>& argv, const RunOptions& opts, int in, int out,
                    int err);

// The built program and a minimal environment for it (PATH only).
std::string vek_binary();
std::map<std::string, std::string> base_env();
