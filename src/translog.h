// Turns a transfer command's diagnostic stream into transfer-log records as
// it arrives, appending each record as soon as its file is complete.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "capture.h"
#include "chunkreader.h"
#include "logrecord.h"
#include "logscan.h"
#include "settings.h"
#include "unique_fd.h"

// Whether a record names a file that this run moved.
using RecordCheck = std::function<bool(const TransferLogRecord&)>;

class LogConversion : public ByteSink {
public:
    // Opens s.veklog for appending when s.makeveklog, without blocking, so
    // that a pipe with no reader fails at once; says so when it cannot. The
    // bytes are then only passed through for the first line.
    LogConversion(const RunSettings& s, RecordCheck moved);

    std::span<char> space() override;
    void commit(size_t n) override;

    // The stream's first line (at most a short one), for a shell that could
    // not run the command and said why.
    const std::string& first_line() const { return first_line_; }
    // Records not written because they named no file that this run moved.
    int passed_over() const { return passed_over_; }

private:
    void write_record(const TransferLogRecord& rec);

    std::string veklog_;
    UniqueFd out_;
    RecordCheck moved_;
    std::optional<ChunkReader> reader_;  // only while records are wanted
    LogScanner scanner_;
    std::unique_ptr<char[]> discard_;  // only while no records are wanted
    char* last_space_ = nullptr;
    std::string first_line_;
    bool first_line_done_ = false;
    int passed_over_ = 0;
};
