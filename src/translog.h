// Turns a transfer command's diagnostic stream into transfer-log records as
// it arrives, appending each record as soon as its file is complete.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "logrecord.h"
#include "logscan.h"
#include "unique_fd.h"

class SignalHold;

class LogConversion {
public:
    // Opens `veklog` for appending when a transfer log is wanted, without
    // blocking, so that a pipe with no reader fails at once; says so when it
    // cannot. Without a log or a listener (the events, which hear what the
    // scanner reads and each record), the bytes are only looked at for the
    // first line. `hold`, when given, cuts the wait for the log's lock short
    // once a stop has come.
    LogConversion(const std::optional<std::string>& veklog, RecordCheck moved, ScanListener* listener = nullptr,
                  SignalHold* hold = nullptr);
    LogConversion(const LogConversion&) = delete;  // its scanner calls back into it
    LogConversion& operator=(const LogConversion&) = delete;

    // The next bytes of the stream.
    void feed(std::string_view bytes);
    // The stream has ended.
    void end() { scanner_.end(); }

    // The stream's first line (at most a short one), for a shell that could
    // not run the command and said why.
    const std::string& first_line() const { return first_line_; }
    // Records not written because they named no file that this run moved.
    int passed_over() const { return passed_over_; }

private:
    void write_record(const TransferLogRecord& rec);
    bool lock();

    std::string veklog_;
    UniqueFd out_;
    UniqueFd tail_;  // the log read, for its last byte; a regular file only
    bool lock_given_up_ = false;
    RecordCheck moved_;
    ScanListener* listener_;
    SignalHold* hold_;
    LogScanner scanner_;
    std::string first_line_;
    bool first_line_done_ = false;
    int passed_over_ = 0;
};
