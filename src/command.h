// Builds the shell command lines that run sz and rz. Pure text work, kept
// apart from running them so that every byte of a command can be checked.
#pragma once

#include <string>
#include <vector>

#include "settings.h"

inline constexpr const char* SEND_COMMAND = "sz -brNvv";
inline constexpr const char* RECEIVE_COMMAND = "rz -bpRvv";

// `name` between double quotes, with each ", \, $ and ` in it preceded by a
// backslash, so that the shell passes it on byte for byte and runs nothing in it.
std::string quote_name(const std::string& name);

// The quoted argument that makes sz send the file `name`: a name that begins
// with "-" gets "./" in front so that sz cannot take it for an option.
std::string send_operand(const std::string& name);

// The quoted argument that makes rz write the file `name`: a name that
// begins with "-" comes after "--", since rz in restricted mode refuses an
// XMODEM name beginning with "." and so a "./" in front would not do.
std::string receive_operand(const std::string& name);

// The temporary-log path as a redirection target: unchanged when it holds only
// letters, digits and /._-+,:@%=, otherwise quoted as by quote_name.
std::string quote_log_path(const std::string& path);

// "sz -brNvv" with the protocol's flag (" --xmodem", " --ymodem"; none for
// ZMODEM), a blank and the operand for each name, then " 2>" and the log path.
std::string build_send_command(const std::vector<std::string>& names, const std::string& log,
                               Protocol proto = Protocol::zmodem);

// "rz -bpRvv" with the protocol's flag, then for XMODEM, which carries no
// name, the operand of `file`, the name rz is to write; then " 2>" and the
// log path. The other protocols take their names from the sender.
std::string build_receive_command(const std::string& log, Protocol proto = Protocol::zmodem,
                                  const std::string& file = "");

// Whether the protocol can carry the names: XMODEM moves exactly one file a
// run, the others any number.
bool send_fits(Protocol proto, const std::vector<std::string>& names);

// Where a single receive of `fname` is to land: the directory to run rz in
// (tried as the rules for entering it say) and, for XMODEM, the file to write.
struct ReceivePlace {
    std::string dir;
    std::string file;  // XMODEM only; empty for a name that ends in "/"
};

// ZMODEM and YMODEM: the target directory of the name, no file. XMODEM: the
// name split at its last "/"; a name without one is a file here (dir empty).
ReceivePlace receive_place(Protocol proto, const std::string& fname);

// The directory a single receive runs in: the name cut at its last "/", or the
// whole name when it has none ("/x.zip" gives an empty target).
std::string target_directory(const std::string& fname);

// Whether the name asks for a directory in so many words: it has a "/" with
// something before it ("in/x.zip", "in/"). A bare name, or one whose only
// "/" is its first character, runs here when its target cannot be entered.
bool directory_required(const std::string& fname);
