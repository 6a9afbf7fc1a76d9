// The transfer stage: checks the protocol, loads the file list and runs the one
// transfer command with its diagnostic stream captured.
#pragma once

#include <string>

#include "settings.h"

// Throws Fatal when no protocol word was given, when the file list fails, or
// when the transfer command is too long to be run at all.
void xfer_files(RunSettings& s);

// Each runs one command, converts its temporary log and returns 1. A command
// that fails is reported at level 2 only.
int send_files(const RunSettings& s);
int receive_files(const RunSettings& s);
// Receives inside the directory part of `fname`; the name itself is not passed on.
int receive_one_file(const RunSettings& s, const std::string& fname);
