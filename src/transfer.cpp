#include "transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// One transfer command: what it is called, where it runs, and how its
// command line is made around the capture's path.
struct Job {
    const char* tool;  // "sz" or "rz"
    std::string dir;   // empty: here
    std::function<std::string(const std::string& log)> command;
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

// `dir` ("" for here) as a path from the root, for what the events name;
// as it is when the working directory cannot be had.
std::string absolute(const std::string& dir)
{
    if (!dir.empty() && dir[0] == '/')
        return dir;
    const std::string here = current_directory();
    return here.empty() ? dir : dir.empty() ? here : here + "/" + dir;
}

// One run of a job: what it holds while its command runs, made in start()
// and let go of in end(), in one order on every way out, by return or by
// exception: the command ended and reaped; the relay finished, so that all
// the command wrote has reached the line (a terminal is put back as it was
// found); the line's flags put back; the capture removed. The stop hold is
// the driver's: a stop ends the process once the run's end is written.
class Run {
public:
    Run(const RunSettings& s, Job job, SignalHold& hold, EventStream* events)
        : s_(s), job_(std::move(job)), events_(events), hold_(hold), capture_(s.tmpdir)
    {
    }
    ~Run() { end(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Starts the command with its stream captured and, over TELNET or on a
    // terminal, its input and output relayed. False when that could not be
    // done (said). Throws Fatal when the command is too long to be run.
    bool start();
    // Reads the command's stream until it has ended, and lets the line have
    // what it wrote; then says how it went.
    void finish();

private:
    // The command could not be run (`status`: how the shell that said so
    // ended): said, and each named file failed. Returns false.
    bool not_run(const std::string& message, std::optional<int> status = std::nullopt);
    // A stop of the run's own that the relay calls for, or when to look again.
    OwnStop own_stop() const;
    void end();

    const RunSettings& s_;
    Job job_;
    EventStream* events_;
    SignalHold& hold_;
    Capture capture_;
    std::optional<ReceivedFiles> received_;  // where a receive writes
    std::optional<EventScanner> scanner_;
    std::optional<LogConversion> conversion_;
    std::optional<BlockingLine> blocking_;
    std::optional<LineRelay> relay_;
    std::optional<Subprocess> child_;
    bool finished_ = false;  // the command's stream was read to its end
    bool ended_ = false;
};

bool Run::start()
{
    // Records are believed for the files named, or made where rz writes.
    const bool sending = s_.action == Direction::send;
    const std::string shown_dir = absolute(job_.dir);  // as the events name it
    if (!sending)
        received_.emplace(job_.dir, file_clock_now(), shown_dir);
    if (events_) {
        events_->start(s_, shown_dir);
        scanner_.emplace(*events_, sending, sending ? s_.filename : std::vector<std::string>{},
                         received_ ? &*received_ : nullptr);
    }
    if (!capture_.ok())
        return not_run(format_message("Can't open %s!\n", capture_.base().c_str()));
    RecordCheck moved = sending ? sent_check(s_.filename)
                                : [this](const TransferLogRecord& rec) { return received_->believe(rec); };
    conversion_.emplace(s_.veklog, std::move(moved), scanner_ ? &*scanner_ : nullptr, &hold_);
    // The shell becomes the command, so that the process we started, and
    // pass a stop on to, is sz or rz itself.
    const std::string command = "exec " + job_.command(capture_.path());
    debug_printf(3, "system(\"%s\")\n", command.c_str());
    std::fflush(stdout);  // the command writes to the same standard output
    // Over TELNET, on a terminal, for a YMODEM-G sender, or where the line
    // is watched for an idle bound, the command gets private pipes, relayed
    // to and from the line; otherwise the line itself.
    if (s_.telnet || isatty(0) || s_.streaming || s_.idle) {
        const auto coding = s_.telnet ? LineRelay::Coding::telnet : LineRelay::Coding::plain;
        const RelayWatch watch{s_.proto == Protocol::zmodem ? 5 : 2, s_.streaming};
        if (!relay_.emplace(coding, sending, 0, 1, watch).ok()) {
            const int err = errno;
            if (s_.telnet || s_.streaming)
                return not_run(format_message("Can't relay the %s: %s\n",
                                              s_.telnet ? "TELNET connection" : "YMODEM-G sender", std::strerror(err)));
            relay_.reset();  // the command can use the line itself, unwatched
            if (s_.idle)
                warn("Can't watch the line for idle time: %s\n", std::strerror(err));
        }
    }
    if (!relay_)
        blocking_.emplace();
    child_.emplace(command, job_.dir, hold_.child_defaults(), hold_.child_mask(), capture_.take_reader(),
                   relay_ ? relay_->child_stdin() : -1, relay_ ? relay_->child_stdout() : -1);
    if (relay_)
        relay_->start();
    if (child_->spawn_error() == E2BIG) {
        const std::string why = format_message("Command too long for the shell (%zu characters)!", command.size());
        if (scanner_)
            scanner_->not_run(why);
        die(1, "%s\n", why.c_str());
    }
    return true;
}

bool Run::not_run(const std::string& message, std::optional<int> status)
{
    fail("%s", message.c_str());
    if (scanner_) {
        std::string words = message.substr(0, message.size() - 1);
        std::replace(words.begin(), words.end(), '\n', ' ');
        scanner_->not_run(words);
        events_->command_ended(status, true);
    }
    return false;
}

void Run::finish()
{
    const auto give_up = [this] {
        if (relay_)
            relay_->abandon();
    };
    const Subprocess::Exit exit =
        child_->finish([this](std::string_view bytes) { conversion_->feed(bytes); }, hold_, give_up,
                       [this] { return own_stop(); });
    conversion_->end();
    finished_ = true;
    if (relay_)
        relay_->finish(hold_);  // before we write anything to the line

    const int status = exit.status;
    const int spawn_error = child_->spawn_error();
    if (status != 0)
        debug_printf(2, "Spawn returned %d!\n", status);
    if (hold_.own_stop() == FailReason::timeout)
        warn("Nothing moved on the line for %u seconds; the transfer was stopped.\n", *s_.idle);
    if (spawn_error != 0) {
        not_run(format_message("Can't run %s!\n%s\n", job_.tool, std::strerror(spawn_error)));
    } else if (shell_could_not_run(status, conversion_->first_line())) {
        not_run(format_message("Can't run %s!\n%s\n", job_.tool, conversion_->first_line().c_str()), status);
    } else if (scanner_) {
        scanner_->finish({status, hold_.stop(), hold_.own_stop(), relay_ && relay_->line_cut()});
        events_->command_ended(status, false);
    }
    if (s_.makeveklog())
        debug_printf(3, "Reading: %s\n", capture_.path().c_str());
    if (exit.read_error != 0)
        warn("Can't read %s: %s\n", capture_.path().c_str(), std::strerror(exit.read_error));
    if (const int passed = conversion_->passed_over()) {
        const std::string note =
            format_message("Passed over %d records for files this run did not move.\n", passed);
        debug_printf(2, "%s", note.c_str());
        report_note(note);
    }
}

OwnStop Run::own_stop() const
{
    if (!relay_)
        return {};
    // A sender that cannot repeat a block was cancelled: rz waits for it in vain.
    if (relay_->bad_block())
        return {Deadline::in({}), FailReason::error};
    // A user's cancel that the command did not heed within a second (a
    // streaming sz reads nothing), as a host's stop would.
    const auto cancelled = relay_->user_cancelled();
    const Deadline cancel = cancelled ? Deadline(*cancelled + bounds::cancel_heeded) : Deadline();
    if (cancelled && cancel.passed())
        return {cancel, FailReason::cancelled};
    const Deadline idle = s_.idle ? relay_->quiet_until(std::chrono::seconds(*s_.idle)) : Deadline();
    if (s_.idle && idle.passed())
        return {idle, FailReason::timeout};
    // The relay's flags are looked at again this often.
    return {cancel.earlier(idle).earlier(Deadline::in(bounds::relay_look)), std::nullopt};
}

void Run::end()
{
    if (ended_)
        return;
    ended_ = true;
    child_.reset();
    relay_.reset();  // finished already, unless the run is failing
    blocking_.reset();
    if (finished_)
        debug_printf(2, "removing temporary log.\n");
    const std::string path = capture_.path();
    if (const int err = capture_.remove())
        warn("Can't remove %s: %s\n", path.c_str(), std::strerror(err));
}

// Runs the job with its diagnostic stream captured and converted while it
// runs. A hang-up or terminate meanwhile is passed on to the command, and
// ends the run within seconds, once the records of the files already moved
// are written and the capture is gone.
void run_job(const RunSettings& s, Job job, SignalHold& hold, EventStream* events)
{
    Run run(s, std::move(job), hold, events);
    if (run.start())
        run.finish();
}

bool can_enter(const std::string& dir)
{
    struct stat st {};
    return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) == 0;
}

void send_files(const RunSettings& s, SignalHold& hold, EventStream* events)
{
    // XMODEM moves one file and names none; refused before anything is made.
    if (!send_fits(s.proto, s.filename))
        die(1, "Xmodem sends one file at a time!\n");
    debug_printf(1, "Sending file batch.\n");
    run_job(s, {"sz", "", [&s](const std::string& log) { return build_send_command(s.filename, log, s.proto); }},
            hold, events);
}

void receive_files(const RunSettings& s, SignalHold& hold, EventStream* events)
{
    // An XMODEM sender gives no names, so a batch has nothing to write to.
    if (s.proto == Protocol::xmodem)
        die(1, "Xmodem receives one named file!\n");
    debug_printf(2, "Receiving file batch.\n");
    run_job(s, {"rz", "", [&s](const std::string& log) { return build_receive_command(log, s.proto); }}, hold, events);
}

void receive_one_file(const RunSettings& s, const std::string& fname, SignalHold& hold, EventStream* events)
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
    run_job(s,
            {"rz", dir,
             [&s, file = place.file](const std::string& log) { return build_receive_command(log, s.proto, file); }},
            hold, events);
}

}  // namespace

void xfer_files(const RunSettings& s, SignalHold& hold, EventStream* events)
{
    if (s.action == Direction::send)
        send_files(s, hold, events);
    else if (s.batch)
        receive_files(s, hold, events);
    else
        receive_one_file(s, s.filename.empty() ? std::string() : s.filename[0], hold, events);
}
