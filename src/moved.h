// Which records name a file that this run really moved. The remote peer
// chooses the names a receive reports, and a name can hold line ends and
// words of the scanned stream, so a record is believed only when the file
// system or our own command line backs it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "filefacts.h"
#include "logrecord.h"
#include "unique_fd.h"

// The last path component of `path`, as sz names a file it sends.
std::string last_component(const std::string& path);

// The size of the regular file at `path`, when there is one.
std::optional<uint64_t> file_size(const std::string& path);

// A send record is believed when its name is the last component of one of
// the names given to sz, and that name has not had a record for each time it
// was given.
RecordCheck sent_check(const std::vector<std::string>& names);

// The directory rz writes in, opened once, and the files of it that this run
// made. A name is taken beneath it without going up or following a symlink.
class ReceivedFiles {
public:
    // `dir`: where rz runs ("" for here), opened as given; `started`: the
    // second the run began; `shown`: `dir` as a partial copy's path names it.
    ReceivedFiles(const std::string& dir, time_t started, std::string shown);

    // A receive record is believed when its name is a regular file born in
    // or after `started` (whose status changed then, where the file system
    // keeps no birth time), and that file has had no record yet.
    bool believe(const TransferLogRecord& rec);
    // The size of the regular file so named, when there is one.
    std::optional<uint64_t> size(const std::string& name) const;
    // The copy so named that this run made and a failure left behind.
    std::optional<Partial> partial(const std::string& name) const;

private:
    using FileId = std::tuple<dev_t, ino_t, int64_t, uint32_t>;
    // The regular file so named, stat'ed; none when there is no such file.
    std::optional<struct statx> regular_file(const std::string& name) const;
    // The file's identity when it is a regular file this run made.
    std::optional<FileId> made_here(const std::string& name) const;

    UniqueFd at_;
    std::string shown_;
    time_t started_;
    std::set<FileId> recorded_;
};


// The clock that file times come from, in whole seconds.
time_t file_clock_now();
