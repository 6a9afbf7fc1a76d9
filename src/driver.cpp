#include "driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <exception>
#include <new>
#include <optional>

#include "diag.h"
#include "events.h"
#include "filelist.h"
#include "report.h"
#include "signals.h"
#include "transfer.h"

void open_standard_descriptors()
{
    // A closed one would be taken by the first file we open (the capture,
    // the log), and the command would read or write that as its line. In
    // order, so that each open takes the lowest free number: the one closed.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            (void)::open("/dev/null", O_RDWR);  // NOLINT(android-cloexec-open): it becomes the command's too
}

Environment process_environment()
{
    Environment env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        size_t eq = entry.find('=');
        if (eq != std::string::npos)
            env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

int run_vek(const Args& args, const Environment& env)
{
    RunSettings s;
    // Our own lines go out as the relay sends the command's, from the moment
    // -t is read; and never refer to these settings once they are gone.
    struct Follow {
        explicit Follow(const bool* telnet) { follow_telnet_setting(telnet); }
        ~Follow() { follow_telnet_setting(nullptr); }
    } follow(&s.telnet);
    // Asked for on the command line; the last thing it hears is how the run ended.
    std::optional<EventStream> events;
    // From the transfer until its end is written: a stop meanwhile waits for it.
    std::optional<SignalHold> hold;
    bool error = true;
    int status = 0;
    try {
        try {
            if (auto shown = parse_command_line(args, env, s))
                return *shown;
        } catch (const std::bad_alloc&) {
            die(255, "Unable to allocate memory for batch!\n");
        }
        set_system_log(s.makesyslog);
        if (s.events)
            events.emplace(*s.events);
        if (s.proto == Protocol::none)
            die(255, "Protocol not specified!\n");
        if (!s.filelist.empty())
            read_batch(s);
        hold.emplace();
        xfer_files(s, *hold, events ? &*events : nullptr);
        debug_printf(1, "File transfer complete.\n");
        error = false;
    } catch (const Fatal& f) {
        write_fatal(f);
        status = f.status;
    } catch (const std::exception& e) {
        // None is known to get here; one that does has let go of what the
        // run held on its way, and is said instead of aborting.
        write_fatal(Fatal{255, format_message("Fatal: %s!\n", e.what())});
        status = 255;
    }
    // The end, once, for every way out; a host's stop then ends the process.
    const int stop = hold ? hold->stop() : 0;
    if (events)
        events->end(error, stop, stop ? 128 + stop : status);
    hold.reset();
    end_by_stop(held_stop());
    return status;
}
