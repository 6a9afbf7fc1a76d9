// Holds the signals that would end a run half-way while a transfer command
// runs, so that the records of files already moved are written and the
// capture is removed before the run ends the way the caller asked it to.
#pragma once

#include <signal.h>

class SignalHold {
public:
    // Hang-up and terminate are caught and held; interrupt and quit are
    // ignored, as system() does; a broken pipe is ignored, so a diagnostic
    // to a peer that went away cannot end the run before its records.
    // Signals that were ignored when we came stay ignored.
    SignalHold();
    // Puts every disposition back; then, if a hang-up or terminate was held,
    // ends the process with it. The last step of a run.
    void release();
    // Puts the dispositions back if release() never came (a run ended by an
    // exception), without raising anything.
    ~SignalHold();
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    // The signals that a command must have set back to their defaults to
    // start as we were started: ignoring is inherited across exec.
    const sigset_t& child_defaults() const { return child_defaults_; }
    // The signal mask we were started with.
    const sigset_t& child_mask() const { return mask_; }

private:
    void restore();

    static constexpr int held_signals[] = {SIGHUP, SIGTERM};
    static constexpr int ignored_signals[] = {SIGINT, SIGQUIT, SIGPIPE};
    struct sigaction old_[5]{};
    sigset_t child_defaults_{};
    sigset_t mask_{};
    bool released_ = false;
};
