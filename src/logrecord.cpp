#include "logrecord.h"

#include <cstdio>

std::string format_record(const TransferLogRecord& r)
{
    // Readers of the log expect these columns as they are; only the letter,
    // the rate and the name vary.
    static const char format[] = "%c  99999 38400 bps %-4d cps   0 errors    66 1024 %s -1\n";
    const int cps = static_cast<int>(r.cps);
    int len = std::snprintf(nullptr, 0, format, r.direction, cps, r.file.c_str());
    if (len < 0)
        return {};
    // The terminating NUL lands in the string's own terminator.
    std::string line(static_cast<size_t>(len), '\0');
    std::snprintf(line.data(), line.size() + 1, format, r.direction, cps, r.file.c_str());
    return line;
}
