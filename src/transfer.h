// The transfer stage: runs the one transfer command that finished settings
// ask for, with its diagnostic stream captured and turned into records.
#pragma once

#include "settings.h"

// Sends, receives a batch, or receives one file (inside the directory part of
// its name, which itself is not passed on), as `s` says. Throws Fatal when
// the command is too long to be run at all, or a single receive's directory
// cannot be entered. A command that fails is reported at level 2 only.
void xfer_files(const RunSettings& s);
