// The private named pipe through which a transfer command's diagnostic stream
// reaches us while the command runs: nothing of it is stored on disk, runs
// that share a temporary directory never meet, and nothing can be planted at
// its name. One owner from creation to removal.
#pragma once

#include <span>
#include <string>

#include "unique_fd.h"

// "<tmpdir>/.vek.tmp", made absolute against `cwd` so that a single receive's
// command, run in another directory, still names the same pipe; but left
// relative when the absolute form (with its unique suffix) would be longer
// than the kernel takes in one path, where only the relative form opens.
std::string temp_log_base(const std::string& tmpdir, const std::string& cwd);

// The working directory's absolute path, however long; empty when it cannot
// be had.
std::string current_directory();

// Where the bytes read go.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual std::span<char> space() = 0;  // never empty
    virtual void commit(size_t n) = 0;    // n bytes were stored at the front of space()
};

class Capture {
public:
    // Creates "<base>.<random>" as a named pipe, mode 0600 (a new name when
    // one exists), and opens its read end, non-blocking. See ok().
    explicit Capture(const std::string& tmpdir);
    // Removes the pipe, if still there, without a word.
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool ok() const { return static_cast<bool>(fd_); }
    const std::string& base() const { return base_; }
    const std::string& path() const { return path_; }

    // Reads what the command writes until the process `pid` has ended and
    // what it left is drained, handing every read to `sink`. Returns the raw
    // wait status. Reads that fail end the reading, not the wait; returns
    // with `read_failed` set then.
    int readlog(pid_t pid, ByteSink& sink, bool& read_failed);

    // "removing temporary log." at level 2, then the pipe goes.
    void remove();

private:
    std::string base_;
    std::string path_;
    UniqueFd fd_;
};
