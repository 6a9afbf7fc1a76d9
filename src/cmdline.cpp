#include "cmdline.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "diag.h"
#include "report.h"

namespace {

const char* prog_name(const Args& args) { return args.empty() ? "vek" : args[0].c_str(); }

bool is_long_option(const std::string& a) { return a.size() > 2 && a[0] == '-' && a[1] == '-'; }

void set_veklog(RunSettings& s, const std::string& path)
{
    s.veklog = path;
    debug_printf(1, "Setting veklog to %s\n", path.c_str());
}

void set_events(RunSettings& s, const std::string& path)
{
    s.events = path;
    debug_printf(1, "Writing events to %s\n", path.c_str());
}

// Whole seconds, 1 to a day; `from` names where the value came from.
void set_idle(RunSettings& s, const std::string& value, const char* from)
{
    unsigned long seconds = 0;
    const bool digits = !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
    if (digits)
        seconds = std::stoul(value);
    if (!digits || seconds < 1 || seconds > 86400)
        die(1, "%s wants whole seconds from 1 to 86400, not '%s'!\n", from, value.c_str());
    s.idle = static_cast<unsigned>(seconds);
    debug_printf(1, "Stopping the transfer after %lu idle seconds.\n", seconds);
}

void set_filelist(RunSettings& s, const std::string& path)
{
    s.filelist = path;
    s.batch = true;
    debug_printf(1, "Sending files in list '%s'.\n", s.filelist.c_str());
}

void set_syslog(RunSettings& s)
{
    s.makesyslog = true;
    debug_printf(1, "Turning on syslog()ing.\n");
}

void set_telnet(RunSettings& s)
{
    s.telnet = true;
    debug_printf(1, "Turning on TELNET relaying.\n");
}

struct ProtocolWord {
    const char* word;
    Protocol proto;
    Direction action;
    const char* message;
    bool streaming = false;
};

const ProtocolWord protocol_words[] = {
    {"rz", Protocol::zmodem, Direction::receive, "Setting protocol to Zmodem Receive.\n"},
    {"sz", Protocol::zmodem, Direction::send, "Setting protocol to Zmodem Send.\n"},
    {"ry", Protocol::ymodem, Direction::receive, "Setting protocol to Ymodem Receive.\n"},
    {"rg", Protocol::ymodem, Direction::receive, "Setting protocol to Ymodem-G Receive.\n", true},
    {"sy", Protocol::ymodem, Direction::send, "Setting protocol to Ymodem Send.\n"},
    {"rx", Protocol::xmodem, Direction::receive, "Setting protocol to Xmodem Receive.\n"},
    {"sx", Protocol::xmodem, Direction::send, "Setting protocol to Xmodem Send.\n"},
};

void add_file_name(RunSettings& s, const std::string& name)
{
    debug_printf(2, "Checking arg: %s\n", name.c_str());
    if (s.numfiles() > 1)
        s.batch = true;
    debug_printf(1, "Adding %s (%d) to list.\n", name.c_str(), s.numfiles());
    s.filename.push_back(name);
}

}  // namespace

std::optional<int> option_pass(const Args& args, const Environment& env, RunSettings& s,
                               std::vector<bool>& taken)
{
    const char* me = prog_name(args);
    const bool posix = env.count("POSIXLY_CORRECT") != 0;
    taken.assign(args.size(), false);

    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            taken[i] = true;
            break;
        }
        if (is_long_option(a))
            continue;  // left to the operand pass
        if (a.size() < 2 || a[0] != '-') {
            if (posix)
                break;
            continue;
        }
        taken[i] = true;
        for (size_t j = 1; j < a.size(); ++j) {
            const char c = a[j];
            if (c == 'd' || c == 'e' || c == 'f') {
                std::string value;
                if (j + 1 < a.size()) {
                    value = a.substr(j + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                    taken[i] = true;
                } else {
                    complain("%s: option requires an argument -- '%c'\n", me, c);
                    usage(me, 1);
                    return 0;
                }
                if (c == 'd')
                    set_veklog(s, value);
                else if (c == 'e')
                    set_events(s, value);
                else
                    set_filelist(s, value);
                break;
            }
            switch (c) {
            case 'h':
            case 'H':
                usage(me, 1);
                return 0;
            case 'V':
                ver();
                std::fflush(stdout);
                return 0;
            case 's':
                set_syslog(s);
                break;
            case 't':
                set_telnet(s);
                break;
            case 'v':
                set_verbosity(verbosity() + 1);
                debug_printf(1, "Increasing verbosity to %d.\n", verbosity());
                break;
            default:
                complain("%s: invalid option -- '%c'\n", me, c);
                usage(me, 1);
                return 0;
            }
        }
    }
    return std::nullopt;
}

std::optional<int> operand_pass(const Args& args, std::vector<bool> taken, RunSettings& s)
{
    const char* me = prog_name(args);
    for (size_t i = 1; i < args.size(); ++i) {
        if (taken[i])
            continue;
        const std::string& a = args[i];
        if (is_long_option(a)) {
            const char* name = a.c_str() + 2;
            const char* const with_value[] = {"veklog", "events", "idle"};
            const auto named = std::find_if(std::begin(with_value), std::end(with_value),
                                            [&](const char* n) { return strcasecmp(name, n) == 0; });
            if (named != std::end(with_value)) {
                size_t v = i + 1;
                while (v < args.size() && taken[v])
                    ++v;
                if (v == args.size()) {
                    complain("%s: option '--%s' requires an argument\n", me, *named);
                    usage(me, 1);
                    return 0;
                }
                taken[v] = true;
                if (named == std::begin(with_value))
                    set_veklog(s, args[v]);
                else if (named == std::begin(with_value) + 1)
                    set_events(s, args[v]);
                else
                    set_idle(s, args[v], "--idle");
            } else if (strcasecmp(name, "help") == 0) {
                usage(me, 1);
                return 0;
            } else if (strcasecmp(name, "syslog") == 0) {
                set_syslog(s);
            } else if (strcasecmp(name, "telnet") == 0) {
                set_telnet(s);
            }
            continue;
        }
        if (!a.empty() && a[0] == '-')
            continue;
        if (!a.empty() && a[0] == '@') {
            set_filelist(s, a.substr(1));
            continue;
        }
        bool word = false;
        for (const ProtocolWord& p : protocol_words) {
            if (a == p.word) {
                s.proto = p.proto;
                s.action = p.action;
                s.streaming = p.streaming;
                debug_printf(1, "%s", p.message);
                word = true;
                break;
            }
        }
        if (!word)
            add_file_name(s, a);
    }
    return std::nullopt;
}

void environment_pass(const Environment& env, RunSettings& s)
{
    if (auto it = env.find("VEKLOG"); it != env.end()) {
        s.veklog = it->second;
        debug_printf(1, "Setting VEKlog to '%s'\n", it->second.c_str());
    }
    if (auto it = env.find("VEKEVENTS"); it != env.end()) {
        s.events = it->second;
        debug_printf(1, "Setting VEKEVENTS to '%s'\n", it->second.c_str());
    }
    if (auto it = env.find("VEKIDLE"); it != env.end())
        set_idle(s, it->second, "VEKIDLE");
    s.tmpdir = "/tmp";
    for (const char* name : {"TMP", "TEMP", "TEMPDIR"}) {
        if (auto it = env.find(name); it != env.end()) {
            s.tmpdir = it->second;
            break;
        }
    }
}

void receive_decision(RunSettings& s)
{
    if (s.action != Direction::receive)
        return;
    if (s.numfiles() == 0)
        s.batch = true;
    else if (s.numfiles() == 1)
        s.batch = false;
}

std::optional<int> parse_command_line(const Args& args, const Environment& env, RunSettings& s)
{
    if (args.size() <= 1) {
        usage(prog_name(args), 0);
        return 1;
    }
    std::vector<bool> taken;
    if (auto status = option_pass(args, env, s, taken))
        return status;
    if (auto status = operand_pass(args, taken, s))
        return status;
    environment_pass(env, s);
    receive_decision(s);
    return std::nullopt;
}
