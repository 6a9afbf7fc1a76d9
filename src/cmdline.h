// The command-line passes that fill RunSettings, and nothing else: they decide
// and print help, but run nothing. Each returns an exit status when the
// command line itself ends the run, so tests can call them directly.
//
// A new option touches option_pass (short form) or operand_pass (long form),
// the help text in diag.cpp, the manual page and the README.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "settings.h"

using Args = std::vector<std::string>;  // Args[0] is the program's name as invoked
using Environment = std::map<std::string, std::string>;

// Short options, getopt-style with permutation. Marks in `taken` every
// argument it consumed as an option or an option's value.
std::optional<int> option_pass(const Args& args, const Environment& env, RunSettings& s,
                               std::vector<bool>& taken);

// Long options, "@" lists, protocol words and file names, in command-line order.
std::optional<int> operand_pass(const Args& args, std::vector<bool> taken, RunSettings& s);

// VEKLOG, VEKEVENTS and the temporary directory.
void environment_pass(const Environment& env, RunSettings& s);

// Single or batch receive, from the command-line names only.
void receive_decision(RunSettings& s);

// All of the above, in order, including the short usage for an empty command line.
std::optional<int> parse_command_line(const Args& args, const Environment& env, RunSettings& s);
