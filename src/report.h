// The one road to the operator besides the DEBUG lines: messages on standard
// error and, when the system log was asked for (-s), a copy of each of them
// and of every transfer-log record there.
#pragma once

#include <string>

// How bad a message is; it sets the system-log level of its copy.
enum class Severity {
    fatal,    // "Fatal..." messages: the run or its records are lost
    warning,  // "Error!..." messages: one record may be lost, the run goes on
};

// Told once, after the command line has been read, as the diagnostics are
// told their level.
void set_system_log(bool on);

// Writes `message` (which carries its own line end) to standard error, after
// whatever standard output still holds, so the two streams keep their order.
void report(Severity severity, const std::string& message);

// Copies a transfer-log record to the system log; nothing without -s.
void report_record(const std::string& record);

// Copies a note that standard output carries at some level (when asked) to
// the system log; nothing without -s.
void report_note(const std::string& note);
