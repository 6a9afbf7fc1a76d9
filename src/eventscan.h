// Tells, from sz's or rz's diagnostic stream, what happens to each file, for
// the host's event stream: announced, progress, and why one failed.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logrecord.h"
#include "unique_fd.h"

// skipped: the terminal, or rz, passed the file over. refused: rz would not
// write it (it exists, or its name is not allowed). cancelled: a cancel, the
// other side's or the host's stop. line: a broken pipe or a hang-up.
// timeout: no answer came (lrzsz says so too when its input is closed).
// missing: sz found no such file. error: anything else.
enum class FailReason { skipped, refused, cancelled, line, timeout, missing, error };
const char* reason_word(FailReason reason);  // "skipped", "refused", ...

struct FileFacts {
    std::string name;              // as a record carries it
    std::optional<uint64_t> size;  // when the stream gives it
    uint64_t bytes = 0;            // moved so far (the final count once complete)
    uint64_t bps = 0;              // the last rate the stream gave
};

// The stream is cut into lines at CR or LF; a header ("Sending: NAME",
// "Receiving: NAME", "rz: ready to receive NAME") runs to its LF, so that a
// CR in a name cannot start a line of its own. A line is kept up to
// max_header bytes (logscan.h), the rest dropped. Text after a progress
// count on its line ("... ETA 00:00  sz: caught signal 13; exiting") is read
// as a line of its own.
class EventScanner {
public:
    // Each must be set: all are called.
    struct Sink {
        std::function<void(const FileFacts&)> file;      // the command announced a file
        std::function<void(const FileFacts&)> progress;  // a progress line for it (every one)
        std::function<void(const FileFacts&, FailReason, const std::string& message, const std::string& partial)>
            failed;
    };

    // `sending`: sz, else rz. `names`: the names given to sz. `dir`: where rz
    // writes ("" = here), for progress read from the copy's size and for the
    // partial copy a failed receive leaves.
    EventScanner(Sink sink, bool sending, const std::vector<std::string>& names, std::string dir);

    // The next bytes of the stream, in pieces of any size: the same events
    // however it is cut.
    void feed(std::string_view bytes);

    // The facts of the file so named that completes next (the earliest one
    // neither completed nor failed), for its completion event; nullptr when
    // none. Feed the bytes here before the record scanner, so that they hold
    // the final count when it tells the completion.
    const FileFacts* facts(const std::string& name) const;
    // That file is done: no failure is reported for it.
    void completed(const std::string& name);

    // The command has ended: each file that started or was named and neither
    // completed nor failed is reported failed, with the reason the stream
    // gave for it, else the one its ending gives (a stop by the host:
    // `cancelled`, `line` for a hang-up; killed by or exiting on SIGPIPE or
    // SIGHUP: `line`), else `error` with the last words. A failed receive's
    // partial copy is named when this run made it.
    void finish(int wait_status, int stop_signal);

private:
    // A reason the stream gave, and the line that gave it.
    using Said = std::optional<std::pair<FailReason, std::string>>;
    struct Entry {
        FileFacts facts;
        Said said;             // the last reason given while it went on
        bool counted = false;  // its final count went by
        uint64_t seq = 0;      // announced as the seq-th header
    };

    void line_ended();
    // Reads a progress or final count at the start of `text`, and returns
    // what follows it on the line (all of `text` when it is no count).
    std::string_view count(std::string_view text);
    void message(std::string_view text);
    void fail(Entry& entry, const Said::value_type& why, const std::string& partial = "");
    // A named file that sz will not send.
    void fail_named(std::string_view given, FailReason reason, std::string_view text);
    // Takes the first named file so named (as given, else as recorded) off the list.
    bool take_named(std::string_view name, bool as_given);
    // The file that lines are about now: the last announced, still going.
    Entry* current();
    std::optional<uint64_t> size_on_disk(const std::string& name) const;

    Sink sink_;
    bool sending_;
    std::vector<std::pair<std::string, std::string>> unnamed_;  // named, not yet announced: as given, as recorded
    std::string dir_;
    UniqueFd dir_fd_;
    RecordCheck made_here_;    // whether a receive's file is this run's
    std::deque<Entry> files_;  // announced, neither completed nor failed
    uint64_t announced_ = 0;   // headers so far
    Said since_header_;        // the last reason given since the last header
    std::string cannot_open_;  // rz's last "cannot open" line, the cause of a skip
    std::string line_;
    std::string last_words_;
};
