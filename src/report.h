// Every message on standard error, one function per level, each owning its
// prefix and what follows it; with -s, a copy of each in the system log,
// beside the transfer-log records.
#pragma once

#include <string>

#include "fatal.h"

// Told once, after the command line has been read.
void set_system_log(bool on);

// "Fatal: ..." and the run ends, with `status`: thrown as a Fatal, so that
// what the run holds is let go of on the way out; the driver writes it.
[[noreturn]] void die(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// "Fatal! ..." and the run goes on: something it needed failed (no command
// ran, or its records are lost).
void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "Error! ..." and the run goes on: one thing went wrong (a record, a read).
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The command line's own complaints, worded as option parsers word them.
void complain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes a Fatal's message; the driver's last word.
void write_fatal(const Fatal& f);

// Copies a transfer-log record, or a note that standard output carries at
// some level, to the system log; nothing without -s.
void report_record(const std::string& record);
void report_note(const std::string& note);
