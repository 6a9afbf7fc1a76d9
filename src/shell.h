// Starts one command through /bin/sh the way the C library's system() does,
// but without waiting, so that its diagnostic stream can be read while it
// runs, and telling why the shell could not be started, so that a command too
// long for the kernel is not mistaken for a failed transfer.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>

struct ShellStart {
    pid_t pid;        // the shell, or -1
    int spawn_error;  // 0, or the error that kept the shell from starting (E2BIG: too long)
};

// Runs `sh -c -- command` inside `dir` (the current directory when empty),
// with the signals in `to_default` set back to their defaults and `mask` as
// its signal mask.
ShellStart start_shell(const std::string& command, const std::string& dir, const sigset_t& to_default,
                       const sigset_t& mask);

// Waits for the shell and returns its raw wait status, as system() would.
int wait_shell(pid_t pid);

// The wait status system() gives for a shell that could not be started.
inline constexpr int shell_not_started = 127 << 8;
