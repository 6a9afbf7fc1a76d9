#include "format.h"

#include <cstdio>

std::string vformat_message(const char* fmt, va_list ap)
{
    va_list again;
    va_copy(again, ap);
    const int len = std::vsnprintf(nullptr, 0, fmt, ap);
    std::string msg;
    if (len > 0) {
        msg.resize(static_cast<size_t>(len) + 1);
        std::vsnprintf(msg.data(), msg.size(), fmt, again);
        msg.resize(static_cast<size_t>(len));
    }
    va_end(again);
    return msg;
}

std::string format_message(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string msg = vformat_message(fmt, ap);
    va_end(ap);
    return msg;
}
