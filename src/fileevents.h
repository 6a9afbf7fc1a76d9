// Tells a run's events what happens to each file: what the command's stream
// says of it (eventscan.h) and which record was written for it (translog.h).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "events.h"
#include "eventscan.h"
#include "settings.h"
#include "translog.h"

class FileEvents {
public:
    // Writes the start event and watches `conversion`'s stream and records.
    // `dir` is where a receive writes ("" for here).
    FileEvents(EventStream& events, const RunSettings& s, const std::string& dir, LogConversion& conversion);
    FileEvents(const FileEvents&) = delete;
    FileEvents& operator=(const FileEvents&) = delete;

    // Once the command has ended (its wait status; none when it never ran),
    // every file that started or was named and did not complete is said to
    // have failed. `stop`: the signal that stopped the run, or 0.
    void ended(std::optional<int> wait_status, bool could_not_run, int stop);

private:
    EventStream& events_;
    EventScanner scanner_;
    std::map<std::string, double> started_;  // when each file was announced
};
