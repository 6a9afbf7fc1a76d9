// The temporary log of one transfer command. A fresh, private file per run,
// so that runs sharing a temporary directory cannot overwrite or delete each
// other's logs and nobody can plant a link for the redirection to follow.
// It is the one owner of that file: nothing else deletes it.
#pragma once

#include <string>

// "<tmpdir>/.vek.tmp", made absolute against `cwd` so that a single receive's
// command, run in another directory, still names the same file; but left
// relative when the absolute form (with its unique suffix) would be longer
// than the kernel takes in one path, where only the relative form opens.
std::string temp_log_base(const std::string& tmpdir, const std::string& cwd);

class TempLog {
public:
    // Creates `temp_log_base(tmpdir, <working directory>).XXXXXX` exclusively,
    // mode 0600. When that is impossible (a missing or unwritable directory)
    // the path is the base itself and nothing is created, so the shell's
    // redirection fails as it would have with the plain name.
    explicit TempLog(const std::string& tmpdir);
    // Removes the file if this object created it and it was neither removed
    // nor kept: an aborted run leaves nothing behind.
    ~TempLog();
    TempLog(const TempLog&) = delete;
    TempLog& operator=(const TempLog&) = delete;

    const std::string& path() const { return path_; }
    // The log has been read, or was not wanted: delete it.
    void remove();
    // The log could not be read: leave it for a look.
    void keep() { owned_ = false; }

private:
    std::string path_;
    bool owned_ = false;
};
