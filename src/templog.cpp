#include "templog.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "unique_fd.h"

TempLog::TempLog(const std::string& fallback)
{
    std::string unique = fallback + ".XXXXXX";
    // The descriptor is not needed: the shell opens the file again by name
    // for the redirection. Creating it here is what makes the name ours.
    UniqueFd fd(mkostemp(unique.data(), O_CLOEXEC));
    if (fd) {
        path_ = unique;
        owned_ = true;
    } else {
        path_ = fallback;
    }
}

TempLog::~TempLog()
{
    if (owned_)
        unlink(path_.c_str());
}
