// Builds the shell command lines that run sz and rz. Pure text work, kept
// apart from running them so that every byte of a command can be checked.
#pragma once

#include <span>
#include <string>
#include <vector>

inline constexpr const char* SEND_COMMAND = "sz -brNvv";
inline constexpr const char* RECEIVE_COMMAND = "rz -bpRvv";

// `name` between double quotes, with each ", \, $ and ` in it preceded by a
// backslash, so that the shell passes it on byte for byte and runs nothing in it.
std::string quote_name(const std::string& name);

// The quoted argument that makes sz send the file `name`: a name that begins
// with "-" gets "./" in front so that sz cannot take it for an option.
std::string send_operand(const std::string& name);

// The temporary-log path as a redirection target: unchanged when it holds only
// letters, digits and /._-+,:@%=, otherwise quoted as by quote_name.
std::string quote_log_path(const std::string& path);

// The first `numfiles` names, the ones a send passes on (the table may hold more).
std::span<const std::string> counted_names(const std::vector<std::string>& names, int numfiles);

// "sz -brNvv", a blank and the operand for each of the first `numfiles` names,
// then " 2>" and the log path.
std::string build_send_command(const std::vector<std::string>& names, int numfiles,
                               const std::string& log);

// "rz -bpRvv 2>" and the log path; a receive never passes file names.
std::string build_receive_command(const std::string& log);

// The directory a single receive runs in: the name cut at its last "/", or the
// whole name when it has none ("/x.zip" gives an empty target).
std::string target_directory(const std::string& fname);

// Whether the name asks for a directory in so many words: it has a "/" with
// something before it ("in/x.zip", "in/"). A bare name, or one whose only
// "/" is its first character, runs here when its target cannot be entered.
bool directory_required(const std::string& fname);
