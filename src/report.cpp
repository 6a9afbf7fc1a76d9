#include "report.h"

#include <syslog.h>

#include <cstdio>

namespace {

bool use_system_log = false;

void to_syslog(int priority, const std::string& text)
{
    static bool opened = false;
    if (!opened) {
        openlog("vek", LOG_PID, LOG_USER);
        opened = true;
    }
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    syslog(LOG_USER | priority, "%s", line.c_str());
}

}  // namespace

void set_system_log(bool on) { use_system_log = on; }

void report(Severity severity, const std::string& message)
{
    std::fflush(stdout);
    std::fputs(message.c_str(), stderr);
    if (use_system_log)
        to_syslog(severity == Severity::fatal ? LOG_ERR : LOG_WARNING, message);
}

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
