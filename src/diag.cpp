#include "diag.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "telnet.h"

namespace {
int level = 0;
const bool* telnet = nullptr;
}  // namespace

int verbosity() { return level; }
void set_verbosity(int lvl) { level = lvl; }
void follow_telnet_setting(const bool* setting) { telnet = setting; }

int debug_printf(int lvl, const char* fmt, ...)
{
    if (level <= 0 || level < lvl)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    const std::string msg = vformat_message(fmt, ap);
    va_end(ap);
    std::fputs("DEBUG: ", stdout);
    if (telnet && *telnet) {
        std::string coded(2 * msg.size(), '\0');
        coded.resize(telnet_encode(msg, coded));
        std::fwrite(coded.data(), 1, coded.size(), stdout);
    } else {
        std::fwrite(msg.data(), 1, msg.size(), stdout);
    }
    std::fflush(stdout);
    return static_cast<int>(msg.size());
}

void ver()
{
    std::printf("vek sz/rz front end v%s.\n", VEK_VERSION);
}

void usage(const char* me, int lng)
{
    ver();
    std::printf("\nUsage: %s <s[xyz] | r[xyz]> [options] <@filelist> <file1 ...>\n", me);
    if (lng) {
        std::fputs("\n Options:\n"
                   " sx, rx\t\t\tSend/Receive files using Xmodem.\n"
                   " sy, ry\t\t\tSend/receive files using Ymodem.\n"
                   " rg\t\t\tReceive files using Ymodem-G (streaming senders).\n"
                   " sz, rz\t\t\tSend/receive files using Zmodem.\n"
                   " -d, --veklog FILE\tMake VEK-style log at FILE.\n"
                   " -e, --events FILE\tWrite JSON Lines events to FILE.\n"
                   " -h, --help\t\tThis Help Screen.\n"
                   "     --idle SECONDS\tStop the transfer when nothing moves on the line.\n"
                   " -s, --syslog\t\tKeep logs in the system log.\n"
                   " -t, --telnet\t\tThe connection is TELNET (binary mode).\n"
                   " -v\t\t\tIncrease verbosity (Can be repeated).\n"
                   " -V\t\t\tPrint version and exit.\n"
                   " @filelist\t\tSend files listed in filelist.\n"
                   "\nNote: Specifying a file list (@file) will override any files\n"
                   "given on the command line.\n",
                   stdout);
    }
    std::fflush(stdout);
}
