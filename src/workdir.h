// Runs a stretch of the program inside another directory and always comes
// back to the starting one, however long its path.
#pragma once

#include <string>

#include "unique_fd.h"

// The working directory's absolute path, however long; empty when it cannot
// be had (a directory removed under us, or one we may not read up through).
std::string current_directory();

class DirectoryVisit {
public:
    // Enters `target` when it can; otherwise stays where it is, silently.
    // Also stays when the starting directory cannot be held open, since there
    // would be no sure way back.
    explicit DirectoryVisit(const std::string& target);
    ~DirectoryVisit();
    DirectoryVisit(const DirectoryVisit&) = delete;
    DirectoryVisit& operator=(const DirectoryVisit&) = delete;

private:
    UniqueFd start_;
    bool moved_ = false;
};
