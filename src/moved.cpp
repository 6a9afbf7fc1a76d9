#include "moved.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <set>

#include "unique_fd.h"

std::string last_component(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

RecordCheck sent_check(const std::vector<std::string>& names)
{
    auto sent = std::make_shared<std::set<std::string>>();
    for (const std::string& name : names)
        sent->insert(last_component(name));
    return [sent](const TransferLogRecord& rec) { return rec.direction == 'S' && sent->count(rec.file) != 0; };
}

RecordCheck received_check(const std::string& dir, time_t started)
{
    auto at = std::make_shared<UniqueFd>(::open(dir.empty() ? "." : dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return [at, started](const TransferLogRecord& rec) {
        struct stat st {};
        return rec.direction == 'R' && *at && !rec.file.empty() &&
               fstatat(at->get(), rec.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
               st.st_ctim.tv_sec >= started;
    };
}

time_t file_clock_now()
{
    // File times are stamped from the coarse clock, which may lag the fine
    // one by a tick: a file made just after the start must not look older.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return ts.tv_sec;
}
