// The temporary log of one transfer command. A fresh, private file per run,
// so that runs sharing a temporary directory cannot overwrite or delete each
// other's logs and nobody can plant a link for the redirection to follow.
#pragma once

#include <string>

class TempLog {
public:
    // Creates `<fallback>.XXXXXX` exclusively, mode 0600. When that is
    // impossible (a missing or unwritable directory) the path is `fallback`
    // itself and nothing is created, so the shell's redirection fails as it
    // would have with the plain name.
    explicit TempLog(const std::string& fallback);
    // Removes the file if this object created it and still owns it.
    ~TempLog();
    TempLog(const TempLog&) = delete;
    TempLog& operator=(const TempLog&) = delete;

    const std::string& path() const { return path_; }
    // Hands the file over to whoever deletes it next (the log conversion).
    const std::string& release()
    {
        owned_ = false;
        return path_;
    }

private:
    std::string path_;
    bool owned_ = false;
};
