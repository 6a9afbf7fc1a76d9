// The transfer stage: checks the protocol, loads the file list and runs the one
// transfer command with its diagnostic stream captured.
#pragma once

#include <string>

#include "settings.h"

// Throws Fatal when no protocol word was given or the file list fails.
void xfer_files(RunSettings& s);
