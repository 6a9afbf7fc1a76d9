#include "report.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

#include "format.h"

namespace {

bool use_system_log = false;

// Each line of `text` as an entry of its own.
void to_syslog(int priority, const std::string& text)
{
    static bool opened = false;
    if (!opened) {
        openlog("vek", LOG_PID, LOG_USER);
        opened = true;
    }
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        syslog(LOG_USER | priority, "%s", line.c_str());
        at = end + 1;
    }
}

// After whatever standard output still holds, so the two streams keep their order.
void emit(int priority, const std::string& message)
{
    std::fflush(stdout);
    std::fputs(message.c_str(), stderr);
    if (use_system_log)
        to_syslog(priority, message);
}

std::string prefixed(const char* prefix, const char* fmt, va_list ap)
{
    return prefix + vformat_message(fmt, ap);
}

}  // namespace

void set_system_log(bool on) { use_system_log = on; }

void die(int status, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    Fatal f{status, prefixed("Fatal: ", fmt, ap)};
    va_end(ap);
    throw f;
}

void fail(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(LOG_ERR, prefixed("Fatal! ", fmt, ap));
    va_end(ap);
}

void warn(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(LOG_WARNING, prefixed("Error! ", fmt, ap));
    va_end(ap);
}

void complain(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(LOG_WARNING, vformat_message(fmt, ap));
    va_end(ap);
}

void write_fatal(const Fatal& f) { emit(LOG_ERR, f.message); }

void report_record(const std::string& record)
{
    if (use_system_log)
        to_syslog(LOG_INFO, record);
}

void report_note(const std::string& note)
{
    if (use_system_log)
        to_syslog(LOG_NOTICE, note);
}
