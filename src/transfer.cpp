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
#include "events.h"
#include "eventscan.h"
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

// The host may hand over a line marked non-blocking (a socket after a
// timeout was set on it), where the command would take "no data yet" for a
// cut line. Without a relay, the line blocks while the command runs; the
// flags it had are put back afterwards.
class BlockingLine {
public:
    BlockingLine()
    {
        for (int fd : {0, 1}) {
            const int flags = fcntl(fd, F_GETFL);
            found_[fd] = flags;
            if (flags >= 0 && (flags & O_NONBLOCK))
                fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        }
    }
    ~BlockingLine()
    {
        for (int fd : {1, 0})
            if (found_[fd] >= 0 && (found_[fd] & O_NONBLOCK))
                fcntl(fd, F_SETFL, found_[fd]);
    }
    BlockingLine(const BlockingLine&) = delete;
    BlockingLine& operator=(const BlockingLine&) = delete;

private:
    int found_[2]{-1, -1};
};

// What a run holds while its command runs, let go of in one order on every
// way out, by return or by exception: the command ended and reaped; the relay
// finished, so that all the command wrote has reached the line (a terminal
// is put back as it was found); the line's flags put back; the capture
// removed; only then a held stop released, which may end the process.
class Run {
public:
    Run(const std::string& tmpdir, EventStream* events) : capture(tmpdir), events_(events) {}
    ~Run() { end(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Once the command has ended, and before we write anything to the line.
    void finish_relay()
    {
        if (relay)
            relay->finish(hold);
    }

    void end()
    {
        if (ended_)
            return;
        ended_ = true;
        child.reset();
        finish_relay();
        blocking.reset();
        if (read)
            debug_printf(2, "removing temporary log.\n");
        const std::string path = capture.path();
        if (const int err = capture.remove())
            warn("Can't remove %s: %s\n", path.c_str(), std::strerror(err));
        // A held stop ends the process in release(): the events end first.
        if (events_ && stop_held())
            events_->end(false, stop_held(), 128 + stop_held());
        hold.release();
    }

    SignalHold hold;  // first made, last let go
    Capture capture;
    std::optional<BlockingLine> blocking;
    std::optional<LineRelay> relay;
    std::optional<Subprocess> child;
    bool read = false;  // the command's stream was read to its end

private:
    EventStream* events_;
    bool ended_ = false;
};

// Tells a run's events what happens to each file: what the command's stream
// says of it (the event scanner) and which record was written for it.
class FileEvents {
public:
    // Writes the start event and watches `conversion`'s stream and records.
    // `dir` is where a receive writes ("" for here).
    FileEvents(EventStream& events, const RunSettings& s, const std::string& dir, LogConversion& conversion)
        : events_(events),
          scanner_(EventScanner::Sink{[this](const FileFacts& f) { events_.file(f.name, f.size); },
                                      [this](const FileFacts& f) { events_.progress(f.name, f.bytes, f.size, f.bps); },
                                      [this](const FileFacts& f, FailReason why, const std::string& message,
                                             const std::string& partial) {
                                          events_.failed(f.name, f.bytes, reason_word(why), message, partial);
                                      }},
                   s.action == Direction::send,
                   s.action == Direction::send ? s.filename : std::vector<std::string>{}, absolute(dir))
    {
        events_.start(s, absolute(dir));
        conversion.watch([this](std::string_view bytes) { scanner_.feed(bytes); },
                         [this](const TransferLogRecord& rec, const std::string* line) {
                             const FileFacts* f = scanner_.facts(rec.file);
                             events_.done(rec.file, f ? f->bytes : 0, f ? f->bps : 0, line);
                             scanner_.completed(rec.file);
                         });
    }

    // Once the command has ended (its wait status; none when it never ran),
    // every file that started or was named and did not complete is said to
    // have failed. `stop`: the signal that stopped the run, or 0.
    void ended(std::optional<int> wait_status, bool could_not_run, int stop)
    {
        scanner_.finish(wait_status.value_or(-1), stop);
        events_.command_ended(wait_status, could_not_run);
    }

private:
    static std::string absolute(const std::string& dir)
    {
        if (!dir.empty() && dir[0] == '/')
            return dir;
        const std::string here = current_directory();
        return dir.empty() ? here : here + "/" + dir;
    }

    EventStream& events_;
    EventScanner scanner_;
};

// Runs the job with its diagnostic stream captured and converted while it
// runs. A hang-up or terminate meanwhile is passed on to the command, and
// ends the run within seconds, once the records of the files already moved
// are written and the capture is gone.
void run_job(const RunSettings& s, Job job, EventStream* events)
{
    Run run(s.tmpdir, events);
    if (!run.capture.ok()) {
        fail("Can't open %s!\n", run.capture.base().c_str());
        return;
    }
    LogConversion conversion(s.veklog, std::move(job.moved));
    std::optional<FileEvents> file_events;
    if (events)
        file_events.emplace(*events, s, job.dir, conversion);
    // The shell becomes the command, so that the process we started, and
    // pass a stop on to, is sz or rz itself.
    const std::string command = "exec " + job.command(run.capture.path());
    debug_printf(3, "system(\"%s\")\n", command.c_str());
    std::fflush(stdout);  // the command writes to the same standard output
    // Over TELNET, or on a terminal, the command gets private pipes, relayed
    // to and from the line; otherwise the line itself.
    if (s.telnet || isatty(0)) {
        const auto coding = s.telnet ? LineRelay::Coding::telnet : LineRelay::Coding::plain;
        if (!run.relay.emplace(coding, s.action == Direction::send).ok()) {
            const int err = errno;
            if (s.telnet) {
                fail("Can't relay the TELNET connection: %s\n", std::strerror(err));
                return;
            }
            run.relay.reset();  // a terminal is still a line the command can use itself
        }
    }
    if (!run.relay)
        run.blocking.emplace();
    Subprocess& child = run.child.emplace(command, job.dir, run.hold.child_defaults(), run.hold.child_mask(),
                                          run.capture.take_reader(), run.relay ? run.relay->child_stdin() : -1,
                                          run.relay ? run.relay->child_stdout() : -1);
    if (run.relay)
        run.relay->start();
    if (child.spawn_error() == E2BIG)
        die(1, "Command too long for the shell (%zu characters)!\n", command.size());
    const Subprocess::Exit exit = child.finish([&](std::string_view bytes) { conversion.feed(bytes); }, run.hold,
                                               [&] {
                                                   if (run.relay)
                                                       run.relay->abandon();
                                               });
    run.read = true;
    run.finish_relay();

    const int status = exit.status;
    if (status != 0)
        debug_printf(2, "Spawn returned %d!\n", status);
    const bool not_run = child.spawn_error() != 0 || shell_could_not_run(status, conversion.first_line());
    if (child.spawn_error() != 0)
        fail("Can't run %s!\n%s\n", job.tool, std::strerror(child.spawn_error()));
    else if (not_run)
        fail("Can't run %s!\n%s\n", job.tool, conversion.first_line().c_str());
    if (file_events)
        file_events->ended(child.spawn_error() ? std::nullopt : std::optional(status), not_run, stop_held());
    if (s.makeveklog())
        debug_printf(3, "Reading: %s\n", run.capture.path().c_str());
    if (exit.read_error != 0)
        warn("Can't read %s: %s\n", run.capture.path().c_str(), std::strerror(exit.read_error));
    if (const int passed = conversion.passed_over()) {
        const std::string note =
            format_message("Passed over %d records for files this run did not move.\n", passed);
        debug_printf(2, "%s", note.c_str());
        report_note(note);
    }
}

bool can_enter(const std::string& dir)
{
    struct stat st {};
    return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) == 0;
}

void send_files(const RunSettings& s, EventStream* events)
{
    // XMODEM moves one file and names none; refused before anything is made.
    if (!send_fits(s.proto, s.filename))
        die(1, "Xmodem sends one file at a time!\n");
    debug_printf(1, "Sending file batch.\n");
    run_job(s, {"sz", "",
                [&s](const std::string& log) {
                    return build_send_command(s.filename, log, s.proto);
                },
                sent_check(s.filename)},
            events);
}

void receive_files(const RunSettings& s, EventStream* events)
{
    // An XMODEM sender gives no names, so a batch has nothing to write to.
    if (s.proto == Protocol::xmodem)
        die(1, "Xmodem receives one named file!\n");
    debug_printf(2, "Receiving file batch.\n");
    run_job(s, {"rz", "", [&s](const std::string& log) { return build_receive_command(log, s.proto); },
                received_check("", file_clock_now())},
            events);
}

void receive_one_file(const RunSettings& s, const std::string& fname, EventStream* events)
{
    debug_printf(2, "Receiving one file (%s).\n", fname.c_str());
    const ReceivePlace place = receive_place(s.proto, fname);
    if (s.proto == Protocol::xmodem && place.file.empty())
        die(1, "Xmodem receives one named file!\n");
    debug_printf(3, "chdir '%s'\n", place.dir.c_str());
    std::string dir;
    if (can_enter(place.dir))
        dir = place.dir;
    else if (directory_required(fname))
        die(1, "Cannot change to directory %s!\n", place.dir.c_str());
    run_job(s, {"rz", dir,
                [&s, file = place.file](const std::string& log) {
                    return build_receive_command(log, s.proto, file);
                },
                received_check(dir, file_clock_now())},
            events);
}

}  // namespace

void xfer_files(const RunSettings& s, EventStream* events)
{
    if (s.action == Direction::send)
        send_files(s, events);
    else if (s.batch)
        receive_files(s, events);
    else
        receive_one_file(s, s.filename.empty() ? std::string() : s.filename[0], events);
}
