#include "transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "capture.h"
#include "command.h"
#include "diag.h"
#include "fatal.h"
#include "moved.h"
#include "relay.h"
#include "report.h"
#include "subprocess.h"
#include "signals.h"
#include "translog.h"

namespace {

// One transfer command: what it is called, where it runs, how its command
// line is made around the capture's path, and which records to believe.
struct Job {
    const char* tool;  // "sz" or "rz"
    std::string dir;   // empty: here
    std::function<std::string(const std::string& log)> command;
    RecordCheck moved;
};

// Whether the shell itself said that it could not run the command: 126 and
// 127 are also statuses that sz and rz may choose (rz -p refusing a file it
// already has exits with 127), so they count only with the shell's own words.
bool shell_could_not_run(int status, const std::string& first_line)
{
    return WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127) &&
           first_line.rfind("sh: ", 0) == 0;
}

// Runs the job with its diagnostic stream captured and converted while it
// runs. From the capture's creation to its removal, hang-ups and terminations
// are caught (signals.h) and passed on to the command; the run ends by them
// only after the records of the files already moved are written and the
// capture is gone, so nothing is left behind, however the run is asked to end.
void run_job(const RunSettings& s, Job job)
{
    SignalHold hold;
    Capture capture(s.tmpdir);
    if (!capture.ok()) {
        report(Severity::fatal, format_message("Fatal! Can't open %s!\n", capture.base().c_str()));
        hold.release();
        return;
    }
    LogConversion conversion(s.makeveklog ? std::optional(s.veklog) : std::nullopt, std::move(job.moved));
    // The shell becomes the command, so that the process we started, and
    // pass a stop on to, is sz or rz itself.
    const std::string command = "exec " + job.command(capture.path());
    debug_printf(3, "system(\"%s\")\n", command.c_str());
    std::fflush(stdout);  // the command writes to the same standard output
    // Over TELNET the command gets private pipes, relayed to and from the
    // connection; without it, the connection itself.
    std::optional<TelnetRelay> relay;
    if (s.telnet && !relay.emplace().ok()) {
        report(Severity::fatal, format_message("Fatal! Can't relay the TELNET connection: %s\n", std::strerror(errno)));
        capture.remove();
        hold.release();
        return;
    }
    Subprocess child(command, job.dir, hold.child_defaults(), hold.child_mask(), capture.take_reader(),
                     relay ? relay->child_stdin() : -1, relay ? relay->child_stdout() : -1);
    if (relay)
        relay->start();
    if (child.spawn_error() == E2BIG) {
        if (relay)
            relay->finish();
        capture.remove();
        hold.release();
        throw Fatal{1, "Fatal: Command too long for the shell (" + std::to_string(command.size()) +
                           " characters)!\n"};
    }
    const Subprocess::Exit exit = child.finish([&](std::string_view bytes) { conversion.feed(bytes); }, hold);
    // All the command wrote reaches the connection before we write anything.
    if (relay)
        relay->finish();

    const int status = exit.status;
    if (status != 0)
        debug_printf(2, "Spawn returned %d!\n", status);
    if (child.spawn_error() != 0) {
        report(Severity::fatal, format_message("Fatal! Can't run %s!\n", job.tool));
        report(Severity::fatal, std::string(std::strerror(child.spawn_error())) + "\n");
    } else if (shell_could_not_run(status, conversion.first_line())) {
        report(Severity::fatal, format_message("Fatal! Can't run %s!\n", job.tool));
        report(Severity::fatal, conversion.first_line() + "\n");
    }
    if (s.makeveklog)
        debug_printf(3, "Reading: %s\n", capture.path().c_str());
    if (exit.read_error != 0)
        report(Severity::warning, format_message("Error! Can't read %s: %s\n", capture.path().c_str(),
                                                 std::strerror(exit.read_error)));
    if (const int passed = conversion.passed_over()) {
        const std::string note =
            format_message("Passed over %d records for files this run did not move.\n", passed);
        debug_printf(2, "%s", note.c_str());
        report_note(note);
    }
    // In this order: the records are written by now; then the capture goes;
    // only then may a held stop end the process.
    debug_printf(2, "removing temporary log.\n");
    capture.remove();
    hold.release();
}

bool can_enter(const std::string& dir)
{
    struct stat st {};
    return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) == 0;
}

void send_files(const RunSettings& s)
{
    // XMODEM moves one file and names none; refused before anything is made.
    if (!send_fits(s.proto, s.filename, s.numfiles))
        throw Fatal{1, "Fatal: Xmodem sends one file at a time!\n"};
    debug_printf(1, "Sending file batch.\n");
    run_job(s, {"sz", "",
                [&s](const std::string& log) {
                    return build_send_command(s.filename, s.numfiles, log, s.proto);
                },
                sent_check(s.filename, s.numfiles)});
}

void receive_files(const RunSettings& s)
{
    // An XMODEM sender gives no names, so a batch has nothing to write to.
    if (s.proto == PROTO_XMODEM)
        throw Fatal{1, "Fatal: Xmodem receives one named file!\n"};
    debug_printf(2, "Receiving file batch.\n");
    run_job(s, {"rz", "", [&s](const std::string& log) { return build_receive_command(log, s.proto); },
                received_check("", file_clock_now())});
}

void receive_one_file(const RunSettings& s, const std::string& fname)
{
    debug_printf(2, "Receiving one file (%s).\n", fname.c_str());
    const ReceivePlace place = receive_place(s.proto, fname);
    if (s.proto == PROTO_XMODEM && place.file.empty())
        throw Fatal{1, "Fatal: Xmodem receives one named file!\n"};
    debug_printf(3, "chdir '%s'\n", place.dir.c_str());
    std::string dir;
    if (can_enter(place.dir))
        dir = place.dir;
    else if (directory_required(fname))
        throw Fatal{1, format_message("Fatal: Cannot change to directory %s!\n", place.dir.c_str())};
    run_job(s, {"rz", dir,
                [&s, file = place.file](const std::string& log) {
                    return build_receive_command(log, s.proto, file);
                },
                received_check(dir, file_clock_now())});
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
