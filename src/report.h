// What reaches the operator besides standard output: fatal messages on standard
// error and, when asked for with -s, copies of them and of every transfer-log
// record in the system log.
#pragma once

#include <string>

#include "settings.h"

// Writes `message` (which carries its own line end) to standard error.
void report_fatal(const RunSettings& s, const std::string& message);

// Copies a transfer-log record to the system log; nothing without -s.
void report_record(const RunSettings& s, const std::string& record);
