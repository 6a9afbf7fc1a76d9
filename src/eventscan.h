// Tells, from sz's or rz's diagnostic stream, what happens to each file, for
// the host's event stream: announced, progress, done, and why one failed.
// What a header is and when a file is complete, it hears from the record
// scanner; the progress, the final counts and the command's words of failure
// it reads itself.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filefacts.h"
#include "logscan.h"

class ReceivedFiles;

class EventScanner : public ScanListener {
public:
    // `sending`: sz, else rz. `names`: the names given to sz. `received`:
    // where rz writes, for progress read from the copy's size and for the
    // partial copy a failed receive leaves (null for a send).
    EventScanner(FileSink& sink, bool sending, const std::vector<std::string>& names,
                 const ReceivedFiles* received);
    EventScanner(const EventScanner&) = delete;  // the record scanner points at it
    EventScanner& operator=(const EventScanner&) = delete;

    void header(std::string_view line, const std::string& name) override;
    void line(std::string_view text) override;
    void completed(const TransferLogRecord& rec, const std::string* written, bool believed) override;

    // How the command ended, as far as the events tell it.
    struct Ending {
        int wait_status = 0;
        int stop = 0;            // the host's stop, 0 when none came
        std::optional<FailReason> own = std::nullopt;  // the run stopped it itself, for this reason
        bool line_cut = false;   // the relay saw the line close or fail first
    };
    // The command has ended: each file that started or was named and neither
    // completed nor failed is reported failed, with the reason the stream
    // gave for it, else the one its ending gives (a stop of the run's own:
    // its reason; a stop by the host: `cancelled`, `line` for a hang-up; a line the relay
    // saw cut, or killed by or exiting on SIGPIPE or SIGHUP: `line`), else
    // `error` with the last words. A failed receive's partial copy is named
    // when this run made it. A receive that failed with no file under way
    // and none failed since the last one ended is reported as a file whose
    // name never arrived.
    void finish(const Ending& ending);
    // No command ran, for `why`: each named file failed with it.
    void not_run(const std::string& why)
    {
        last_words_ = why;
        finish({});
    }

private:
    // A reason the stream gave, and the line that gave it.
    using Said = std::optional<std::pair<FailReason, std::string>>;
    struct Entry {
        FileFacts facts;
        Said said;  // the last reason given while it went on
    };

    // Reads a progress or final count at the start of `text`, and returns
    // what follows it on the line (all of `text` when it is no count).
    std::string_view read_count(std::string_view text);
    void message(std::string_view text);
    void fail(Entry& entry, const Said::value_type& why, const std::optional<Partial>& partial = std::nullopt);
    // A named file that sz will not send.
    void fail_named(std::string_view given, FailReason reason, std::string_view text);
    // Takes the first given name so named (as given, else as recorded) off
    // the list of those not yet announced; its place among the names given.
    std::optional<size_t> take_given(std::string_view name, bool as_given);
    // The file that lines are about now: the last announced, still going.
    Entry* current();

    FileSink& sink_;
    bool sending_;
    struct Given {
        std::string as_given, as_recorded;
        size_t index;
    };
    std::vector<Given> unannounced_;  // given names still to come
    const ReceivedFiles* received_;
    std::deque<Entry> files_;  // announced, neither completed nor failed
    bool going_ = false;       // the last of them is the one that lines are about
    Said since_header_;        // the last reason given since the last header
    std::string cannot_open_;  // rz's last "cannot open" line, the cause of a skip
    std::string name_rest_;    // what a given name holds after a line end, still to pass by
    std::string last_words_;
    bool failed_since_ = false;  // a file failed since the last one completed
};
