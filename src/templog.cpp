#include "templog.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "diag.h"
#include "unique_fd.h"
#include "workdir.h"

namespace {
constexpr const char unique_suffix[] = ".XXXXXX";
}

std::string temp_log_base(const std::string& tmpdir, const std::string& cwd)
{
    const std::string base = tmpdir + "/.vek.tmp";
    if (base[0] != '/' && !cwd.empty() &&
        cwd.size() + 1 + base.size() + std::strlen(unique_suffix) < PATH_MAX)
        return cwd + "/" + base;
    return base;
}

TempLog::TempLog(const std::string& tmpdir)
{
    const std::string base = temp_log_base(tmpdir, current_directory());
    std::string unique = base + unique_suffix;
    // The descriptor is not needed: the shell opens the file again by name
    // for the redirection. Creating it here is what makes the name ours.
    UniqueFd fd(mkostemp(unique.data(), O_CLOEXEC));
    if (fd) {
        path_ = unique;
        owned_ = true;
    } else {
        path_ = base;
    }
}

TempLog::~TempLog()
{
    if (owned_)
        unlink(path_.c_str());
}

void TempLog::remove()
{
    debug_printf(2, "removing temporary log.\n");
    unlink(path_.c_str());
    owned_ = false;
}
