// The private named pipe through which a transfer command's diagnostic stream
// reaches us while the command runs: nothing of it is stored on disk, runs
// that share a temporary directory never meet, and nothing can be planted at
// its name. One owner from creation to removal.
#pragma once

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

class Capture {
public:
    // Creates "<base>.<random>" as a named pipe, mode 0600 (a new name when
    // one exists), and opens its read end, non-blocking. See ok().
    explicit Capture(const std::string& tmpdir);
    // Removes the pipe, if still there, without a word: only a run that
    // ends by an exception gets that far.
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& base() const { return base_; }
    const std::string& path() const { return path_; }

    // The read end, for whoever reads the stream; the pipe stays ours.
    UniqueFd take_reader() { return std::move(fd_); }

    // The pipe goes. Returns 0, or the error that kept it in place.
    int remove();

private:
    std::string base_;
    std::string path_;
    UniqueFd fd_;
};
