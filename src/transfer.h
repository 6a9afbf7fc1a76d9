// The transfer stage: runs the one transfer command that finished settings
// ask for, with its diagnostic stream captured and turned into records.
#pragma once

#include <string>

#include "settings.h"

// Sends, receives a batch, or receives one file, as `s` says, with the
// protocol it names. Throws Fatal when the command is too long to be run at
// all, or when XMODEM is asked for what it cannot carry (other than one file
// to send, a batch to receive). A command that fails is reported at level 2 only.
void xfer_files(const RunSettings& s);

void send_files(const RunSettings& s);
void receive_files(const RunSettings& s);
// Receives inside the directory part of `fname`. The name itself is passed on
// only with XMODEM, whose sender names nothing: there the part after the last
// "/" is the file, and a name without "/" is a file here.
void receive_one_file(const RunSettings& s, const std::string& fname);
