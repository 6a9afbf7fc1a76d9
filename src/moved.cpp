#include "moved.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <map>
#include <memory>

namespace {

// `name` taken beneath the directory `at`, as rz -R writes it: reached
// without going up or following a symlink. Closed when it cannot be.
UniqueFd open_beneath(int at, const std::string& name)
{
    if (name.empty() || name[0] == '/')
        return UniqueFd();
    UniqueFd dir;
    for (size_t from = 0;;) {
        const size_t slash = name.find('/', from);
        const std::string part = name.substr(from, slash - from);
        if (part == "..")
            return UniqueFd();
        const bool last = slash == std::string::npos;
        UniqueFd next(::openat(dir ? dir.get() : at, part.empty() ? "." : part.c_str(),
                               O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY)));
        if (!next || last)
            return next;
        dir = std::move(next);
        from = slash + 1;
    }
}

}  // namespace

std::string last_component(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

RecordCheck sent_check(const std::vector<std::string>& names)
{
    // How many times each name may still be recorded: once per time given.
    auto left = std::make_shared<std::map<std::string, int>>();
    for (const std::string& name : names)
        ++(*left)[last_component(name)];
    return [left](const TransferLogRecord& rec) {
        const auto it = left->find(rec.file);
        if (rec.direction != 'S' || it == left->end() || it->second == 0)
            return false;
        --it->second;
        return true;
    };
}

ReceivedFiles::ReceivedFiles(const std::string& dir, time_t started, std::string shown)
    : at_(::open(dir.empty() ? "." : dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)), shown_(std::move(shown)),
      started_(started)
{
}

std::optional<struct statx> ReceivedFiles::regular_file(const std::string& name) const
{
    const UniqueFd file = at_ ? open_beneath(at_.get(), name) : UniqueFd();
    struct statx st {};
    const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_INO | STATX_CTIME | STATX_BTIME;
    if (!file || statx(file.get(), "", AT_EMPTY_PATH, mask, &st) != 0 || !S_ISREG(st.stx_mode))
        return std::nullopt;
    return st;
}

std::optional<ReceivedFiles::FileId> ReceivedFiles::made_here(const std::string& name) const
{
    const auto st = regular_file(name);
    // rz -p never writes over a file, so a file it wrote was born during
    // the run; a status change alone may be another process's doing.
    // Without a birth time, the status change is all there is.
    const bool born = st && (st->stx_mask & STATX_BTIME) != 0;
    if (!st || (born ? st->stx_btime.tv_sec : st->stx_ctime.tv_sec) < started_)
        return std::nullopt;
    return FileId{makedev(st->stx_dev_major, st->stx_dev_minor), st->stx_ino, born ? st->stx_btime.tv_sec : 0,
                  born ? st->stx_btime.tv_nsec : 0};
}

bool ReceivedFiles::believe(const TransferLogRecord& rec)
{
    const auto id = rec.direction == 'R' ? made_here(rec.file) : std::nullopt;
    return id && recorded_.insert(*id).second;  // a second record for one file is passed over
}

std::optional<uint64_t> ReceivedFiles::size(const std::string& name) const
{
    const auto st = regular_file(name);
    return st ? std::optional<uint64_t>(st->stx_size) : std::nullopt;
}

std::optional<Partial> ReceivedFiles::partial(const std::string& name) const
{
    if (!made_here(name))
        return std::nullopt;
    return Partial{shown_.empty() ? name : shown_ + "/" + name, size(name).value_or(0)};
}

std::optional<uint64_t> file_size(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

time_t file_clock_now()
{
    // File times are stamped from the coarse clock, which may lag the fine
    // one by a tick: a file made just after the start must not look older.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return ts.tv_sec;
}
