// Runs the program once: the command line into finished settings, the checks
// and the file list, then the one transfer. The only place where a Fatal
// becomes a message and an exit status.
#pragma once

#include "cmdline.h"

// Puts /dev/null on each of standard input, output and error that is closed;
// first thing, before anything is opened.
void open_standard_descriptors();

Environment process_environment();

// The whole program: returns the process exit status.
int run_vek(const Args& args, const Environment& env);
