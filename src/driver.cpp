#include "driver.h"

#include <unistd.h>

#include <new>

#include "diag.h"
#include "fatal.h"
#include "filelist.h"
#include "report.h"
#include "signals.h"
#include "transfer.h"

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
    ignore_write_signals();
    RunSettings s;
    try {
        try {
            if (auto status = parse_command_line(args, env, s))
                return *status;
        } catch (const std::bad_alloc&) {
            throw Fatal{255, "Fatal: Unable to allocate memory for batch!\n"};
        }
        set_system_log(s.makesyslog);
        if (s.proto == PROTO_NONE)
            throw Fatal{255, "Fatal: Protocol not specified!\n"};
        if (!s.filelist.empty())
            read_batch(s);
        xfer_files(s);
    } catch (const Fatal& f) {
        report(Severity::fatal, f.message);
        return f.status;
    }
    debug_printf(1, "File transfer complete.\n");
    return 0;
}
