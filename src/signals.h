// Holds the signals that would end a run half-way while a transfer command
// runs, so that the records of files already moved are written and the
// capture is removed before the run ends the way the caller asked it to.
#pragma once

#include <signal.h>

// Ignores broken pipes and the file size limit for the whole run, so that a
// diagnostic to a peer that went away, or a record too big for the log,
// fails as a write instead of ending the run before its records and its
// clean-up; the command still starts with the dispositions found here.
// Called once, first thing.
void ignore_write_signals();

class SignalHold {
public:
    // Hang-up and terminate are caught and held, and blocked but while the
    // reader waits (wait_mask()), so that a stop is seen at once and passed
    // on to the command; interrupt and quit are ignored, as system() does.
    // Signals that were ignored when we came stay ignored.
    SignalHold();
    // Puts every disposition and the mask back; then, if a hang-up or
    // terminate was held, ends the process with it. The last step of a run.
    void release();
    // Puts them back if release() never came (a run ended by an exception),
    // without raising anything.
    ~SignalHold();
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    // The signals that a command must have set back to their defaults to
    // start as we were started: ignoring is inherited across exec.
    const sigset_t& child_defaults() const { return child_defaults_; }
    // The signal mask we were started with: the command's, and ours while
    // the reader waits.
    const sigset_t& child_mask() const { return mask_; }
    const sigset_t& wait_mask() const { return mask_; }

    // A hang-up or terminate that came since the last call, to pass on; 0
    // when none did.
    int take_stop();

private:
    void restore();

    static constexpr int held_signals[] = {SIGHUP, SIGTERM};
    static constexpr int ignored_signals[] = {SIGINT, SIGQUIT};
    struct sigaction old_[4]{};
    sigset_t child_defaults_{};
    sigset_t mask_{};
    bool released_ = false;
};
