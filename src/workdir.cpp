#include "workdir.h"

#include <fcntl.h>
#include <unistd.h>

DirectoryVisit::DirectoryVisit(const std::string& target)
{
    start_ = UniqueFd(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!start_)  // a starting directory we may search but not read
        start_ = UniqueFd(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!start_)
        return;
    moved_ = chdir(target.c_str()) == 0;
}

DirectoryVisit::~DirectoryVisit()
{
    // fchdir to a directory held open does not fail in practice, and there is
    // nothing better to do here if it did than to carry on.
    if (moved_ && fchdir(start_.get()) != 0) {
    }
}
