#include "transfer.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "command.h"
#include "diag.h"
#include "fatal.h"
#include "shell.h"
#include "templog.h"
#include "translog.h"
#include "workdir.h"

namespace {

// Runs the command and returns its raw wait status. A command that the kernel
// refuses as too long ends the run; the caller's TempLog, still owning the
// log, removes it on the way out.
int run_command(const std::string& command)
{
    debug_printf(3, "system(\"%s\")\n", command.c_str());
    std::fflush(stdout);  // the command writes to the same standard output
    const ShellResult r = run_shell(command);
    if (r.spawn_error == E2BIG)
        throw Fatal{1, "Fatal: Command too long for the shell (" +
                           std::to_string(command.size()) + " characters)!\n"};
    return r.wait_status;
}

void convert_log(const RunSettings& s, TempLog& log, int status)
{
    if (status != 0)
        debug_printf(2, "Spawn returned %d!\n", status);
    if (readlog(s, log.path()))
        log.remove();
    else
        log.keep();
}

}  // namespace

void xfer_files(const RunSettings& s)
{
    if (s.action == ACTION_SEND)
        send_files(s);
    else if (s.batch)
        receive_files(s);
    else
        receive_one_file(s, s.filename.empty() ? std::string() : s.filename[0]);
}

void send_files(const RunSettings& s)
{
    debug_printf(1, "Sending file batch.\n");
    TempLog log(s.tmpdir);
    const int status = run_command(build_send_command(s.filename, s.numfiles, log.path()));
    convert_log(s, log, status);
}

void receive_files(const RunSettings& s)
{
    debug_printf(2, "Receiving file batch.\n");
    TempLog log(s.tmpdir);
    const int status = run_command(build_receive_command(log.path()));
    convert_log(s, log, status);
}

void receive_one_file(const RunSettings& s, const std::string& fname)
{
    debug_printf(2, "Receiving one file (%s).\n", fname.c_str());
    const std::string target = target_directory(fname);
    debug_printf(3, "chdir '%s'\n", target.c_str());
    // Made before leaving the starting directory, where the log conversion
    // will look for it.
    TempLog log(s.tmpdir);
    int status;
    {
        DirectoryVisit visit(target);
        status = run_command(build_receive_command(log.path()));
    }
    convert_log(s, log, status);
}
