// Runs one command through /bin/sh the way the C library's system() does, but
// tells why the shell could not be started, so that a command too long for
// the kernel is not mistaken for a failed transfer.
#pragma once

#include <string>

struct ShellResult {
    int wait_status;  // raw, as system() gives it; 127 << 8 when the shell did not start
    int spawn_error;  // 0, or the error that kept the shell from starting (E2BIG: too long)
};

// Interrupt and quit are ignored and SIGCHLD blocked while the command runs;
// the shell starts with them at their defaults, unless they were ignored
// already, and with the caller's signal mask.
ShellResult run_shell(const std::string& command);
