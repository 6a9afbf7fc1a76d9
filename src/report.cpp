#include "report.h"

#include <syslog.h>

#include <cstdio>

namespace {

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

void report_fatal(const RunSettings& s, const std::string& message)
{
    std::fflush(stdout);
    std::fputs(message.c_str(), stderr);
    if (s.makesyslog)
        to_syslog(LOG_ERR, message);
}

void report_record(const RunSettings& s, const std::string& record)
{
    if (s.makesyslog)
        to_syslog(LOG_INFO, record);
}
