// Levelled diagnostics on standard output, and the fixed help texts.
#pragma once

#include <cstdarg>
#include <string>

#include "format.h"

// The diagnostic level is the one piece of module state: debug_printf's
// interface carries no settings record. 0 is silent; each -v adds one.
int verbosity();
void set_verbosity(int level);

// Where the messages learn whether standard output is a TELNET connection
// (--telnet): they follow `*telnet` (the run's setting, so that those written
// while the command line is read follow it as soon as it is set; null: no),
// and then double their 0xFF bytes, as the relay doubles the command's.
void follow_telnet_setting(const bool* telnet);

// Writes "DEBUG: " and the formatted message to standard output and flushes,
// when verbosity() is at least lvl and above 0. Returns the message's length,
// or 0 when nothing is written. Messages of any length are written whole.
int debug_printf(int lvl, const char* fmt, ...) __attribute__((format(printf, 2, 3)));


void ver();
void usage(const char* me, int lng);
