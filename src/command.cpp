#include "command.h"

#include <algorithm>

namespace {

bool safe_in_redirection(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '/': case '.': case '_': case '-': case '+': case ',': case ':': case '@': case '%': case '=':
        return true;
    default:
        return false;
    }
}

const char* protocol_flag(Protocol proto)
{
    switch (proto) {
    case Protocol::xmodem:
        return " --xmodem";
    case Protocol::ymodem:
        return " --ymodem";
    default:
        return "";
    }
}

}  // namespace

std::string quote_name(const std::string& name)
{
    std::string quoted;
    quoted.reserve(name.size() + 2);
    quoted += '"';
    for (char c : name) {
        // Inside double quotes the shell still gives these four a meaning.
        if (c == '"' || c == '\\' || c == '$' || c == '`')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string send_operand(const std::string& name)
{
    if (!name.empty() && name[0] == '-')
        return quote_name("./" + name);
    return quote_name(name);
}

std::string receive_operand(const std::string& name)
{
    if (!name.empty() && name[0] == '-')
        return "-- " + quote_name(name);
    return quote_name(name);
}

std::string quote_log_path(const std::string& path)
{
    if (!path.empty() && std::all_of(path.begin(), path.end(), safe_in_redirection))
        return path;
    return quote_name(path);
}

std::string build_send_command(const std::vector<std::string>& names, const std::string& log, Protocol proto)
{
    std::string command = std::string(SEND_COMMAND) + protocol_flag(proto);
    for (const std::string& name : names) {
        command += ' ';
        command += send_operand(name);
    }
    command += " 2>";
    command += quote_log_path(log);
    return command;
}

std::string build_receive_command(const std::string& log, Protocol proto, const std::string& file)
{
    std::string command = std::string(RECEIVE_COMMAND) + protocol_flag(proto);
    if (proto == Protocol::xmodem) {
        command += ' ';
        command += receive_operand(file);
    }
    command += " 2>";
    command += quote_log_path(log);
    return command;
}

bool send_fits(Protocol proto, const std::vector<std::string>& names)
{
    return proto != Protocol::xmodem || names.size() == 1;
}

ReceivePlace receive_place(Protocol proto, const std::string& fname)
{
    if (proto != Protocol::xmodem)
        return {target_directory(fname), ""};
    const size_t slash = fname.rfind('/');
    if (slash == std::string::npos)
        return {"", fname};
    return {fname.substr(0, slash), fname.substr(slash + 1)};
}

std::string target_directory(const std::string& fname)
{
    const size_t slash = fname.rfind('/');
    return slash == std::string::npos ? fname : fname.substr(0, slash);
}

bool directory_required(const std::string& fname)
{
    const size_t slash = fname.rfind('/');
    return slash != std::string::npos && slash > 0;
}
