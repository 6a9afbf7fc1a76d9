// printf into a string of whatever length the arguments need: every message
// of ours is formatted this way, whichever stream it goes to.
#pragma once

#include <cstdarg>
#include <string>

std::string format_message(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat_message(const char* fmt, va_list ap);
