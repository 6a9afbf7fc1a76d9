// The event stream a host may ask for (--events): one JSON object per line
// for the run's start, each file announced, its progress, its completion or
// failure, and the run's end, beside the unchanged transfer log. It must
// never harm the transfer: nothing here blocks for long or ends the run.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "deadline.h"
#include "filefacts.h"
#include "settings.h"
#include "unique_fd.h"

class EventStream final : public FileSink {
public:
    // Opens `path` without blocking: a regular file is appended to, a FIFO
    // or a descriptor the host passed (/dev/fd/N) is written as it takes
    // it. One that cannot be opened is said once, and the run goes on.
    explicit EventStream(const std::string& path);
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    void start(const RunSettings& s, const std::string& dir);
    void file(const FileFacts& f) override;
    // At most four a second for a file; dropped while the reader lags.
    void progress(const FileFacts& f) override;
    // Its seconds count from the file's event.
    void done(const FileFacts& f, const std::string* record) override;
    void failed(const FileFacts& f, FailReason why, const std::string& message,
                const std::optional<Partial>& partial) override;
    // How the command ended: its raw wait status, or none when it never
    // ran; and whether it could not run at all (the run's result is then an error).
    void command_ended(std::optional<int> wait_status, bool could_not_run)
    {
        command_status_ = wait_status;
        could_not_run_ = could_not_run;
    }
    // The last line, once: `error` says the command could not run or the run
    // ended by a Fatal message; `stop` is the signal that stopped the run.
    // What is still queued then waits for the reader until the timeline's
    // bound; what it still leaves is lost, and the count said.
    void end(bool error, int stop, int status);

private:
    struct Queued {
        std::string text;
        bool progress;
    };
    using FileKey = std::pair<size_t, std::string>;  // a send's index, and the name
    static FileKey key(const FileFacts& f);
    void emit(nlohmann::ordered_json& j, bool progress);
    bool flush(const Deadline& until);
    bool write_some(const std::string& bytes, size_t& at);
    void give_up(const char* why);

    std::string path_;
    UniqueFd fd_;
    UniqueFd tail_;  // a regular file read, for its last byte
    bool socket_ = false;
    bool broken_ = false;
    std::string run_id_;
    std::deque<Queued> queue_;  // waiting for a reader that lags; not bounded but by the files
    size_t written_of_front_ = 0;
    Clock::time_point started_;
    std::map<FileKey, Clock::time_point> file_started_;  // for a done event's seconds
    FileKey progress_of_;
    std::optional<Clock::time_point> last_progress_;
    int files_done_ = 0;
    int files_failed_ = 0;
    uint64_t bytes_ = 0;
    std::optional<int> command_status_;
    bool could_not_run_ = false;
    bool ended_ = false;
};
