// The signals of a run: those that must never end it half-way, and the
// stops (hang-up, terminate) that are held while a transfer runs, so that the
// records of files already moved are written, the capture is removed and the
// run's end is told before the run ends the way the caller asked it to.
#pragma once

#include <signal.h>

#include <optional>

#include "deadline.h"
#include "filefacts.h"

// Ignores, for the whole run: broken pipes and the file size limit, so that
// a write to a peer that went away, or a record too big for the log, fails
// as a write; interrupt and quit, which a user's ^C or ^\ raise once a
// terminal line is cooked again, so that no key ends the run. The command
// still starts with the dispositions found here. Called once, first thing.
void ignore_run_signals();

// A stop the run makes itself: due at `at`, for `why`; when there is no
// `why`, none is coming yet, and `at` says when to look again.
struct OwnStop {
    Deadline at;
    std::optional<FailReason> why;
};

class SignalHold {
public:
    // Hang-up and terminate are caught and held, and blocked but while we
    // wait (wait_mask()), so that a stop is seen at once and passed on to the
    // command. Signals that were ignored when we came stay ignored.
    SignalHold();
    // Puts the dispositions and the mask back, but a held stop (and a second
    // one, should it come) stays blocked until end_by_stop().
    ~SignalHold();
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    // The signals that a command must have set back to their defaults to
    // start as we were started: ignoring is inherited across exec.
    const sigset_t& child_defaults() const;
    // The signal mask we were started with: the command's, and ours while
    // we wait.
    const sigset_t& child_mask() const { return mask_; }
    const sigset_t& wait_mask() const { return mask_; }

    // A stop that came since the last call, to pass on; 0 when none did.
    int take_stop();
    // The host's stop held so far, 0 when none.
    int stop();
    // Stops the run as the host's terminate would, for a reason of the run's
    // own (nothing moved on the line for as long as the host allows, the
    // user cancelled a download): the command is told, and the stop's
    // timeline starts; the run itself ends as it otherwise would.
    void stop_own(FailReason why);
    std::optional<FailReason> own_stop() const { return own_; }
    // The timeline that follows a stop (the host's or the run's own):
    // `after` past the moment it was first seen here; never while none has
    // come.
    Deadline after_stop(milliseconds after);
    // Sleeps for `pause`, or less when a stop comes meanwhile.
    void pause(Clock::duration pause);

private:
    static constexpr int held_signals[] = {SIGHUP, SIGTERM};
    struct sigaction old_[2]{};
    sigset_t mask_{};
    std::optional<Clock::time_point> stopped_at_;
    std::optional<FailReason> own_;
    bool own_untold_ = false;  // the run's own stop is still to be passed on
};

// The stop that the last hold caught, 0 when none: the run ends by it once
// its end is written.
int held_stop();
// Ends the process by `sig` as a host's stop asked; returns when `sig` is 0.
void end_by_stop(int sig);
