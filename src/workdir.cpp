#include "workdir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

UniqueFd hold_current_directory()
{
    UniqueFd fd(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)  // a starting directory we may search but not read
        fd = UniqueFd(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    return fd;
}

}  // namespace

std::string current_directory()
{
    std::string buf(256, '\0');
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE)
            return "";
        buf.resize(buf.size() * 2);
    }
    buf.resize(buf.find('\0'));
    return buf;
}

DirectoryVisit::DirectoryVisit(const std::string& target)
    : start_(hold_current_directory()), moved_(start_ && chdir(target.c_str()) == 0)
{
}

DirectoryVisit::~DirectoryVisit()
{
    // fchdir to a directory held open does not fail in practice, and there is
    // nothing better to do here if it did than to carry on.
    if (moved_ && fchdir(start_.get()) != 0) {
    }
}
