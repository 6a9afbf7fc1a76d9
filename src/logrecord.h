// One line of the transfer log, kept as data until it is written so that every
// destination of a record gets the same text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct TransferLogRecord {
    char direction;  // 'S' for a send, 'R' otherwise
    uint32_t cps;    // the rate, already capped by the scanner
    std::string file;
};

// The record as the transfer log holds it, line end included.
std::string format_record(const TransferLogRecord& r);

// Whether a record names a file that this run moved.
using RecordCheck = std::function<bool(const TransferLogRecord&)>;
