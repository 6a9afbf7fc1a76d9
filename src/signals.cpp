#include "signals.h"

#include <poll.h>

#include <utility>

namespace {

volatile sig_atomic_t held = 0;   // the stop that ends the run after the records
volatile sig_atomic_t fresh = 0;  // a stop not yet passed on
constexpr int run_signals[] = {SIGPIPE, SIGXFSZ, SIGINT, SIGQUIT};
sigset_t found_default;  // those of run_signals that were not ignored

extern "C" void hold_signal(int sig)
{
    held = sig;
    fresh = sig;
}

}  // namespace

void ignore_run_signals()
{
    sigemptyset(&found_default);
    for (int sig : run_signals) {
        struct sigaction ignore {}, old {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(sig, &ignore, &old);
        if (old.sa_handler != SIG_IGN)
            sigaddset(&found_default, sig);
    }
}

SignalHold::SignalHold()
{
    held = 0;
    fresh = 0;
    sigprocmask(SIG_SETMASK, nullptr, &mask_);
    sigset_t blocked;
    sigemptyset(&blocked);
    int i = 0;
    for (int sig : held_signals) {
        struct sigaction catcher {};
        catcher.sa_handler = hold_signal;
        sigemptyset(&catcher.sa_mask);
        sigaction(sig, nullptr, &old_[i]);
        if (old_[i].sa_handler != SIG_IGN) {
            sigaction(sig, &catcher, nullptr);  // a caught signal is default again after exec
            sigaddset(&blocked, sig);
        }
        ++i;
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

const sigset_t& SignalHold::child_defaults() const { return found_default; }

int SignalHold::take_stop()
{
    const int sig = fresh;
    fresh = 0;
    if (sig == 0 && std::exchange(own_untold_, false))
        return SIGTERM;
    return sig;
}

void SignalHold::stop_own(FailReason why)
{
    if (own_ || stop())
        return;
    own_ = why;
    own_untold_ = true;
    stopped_at_ = Clock::now();
}

int SignalHold::stop()
{
    if (held && !stopped_at_)
        stopped_at_ = Clock::now();
    return held;
}

Deadline SignalHold::after_stop(milliseconds after)
{
    return stop() || own_ ? Deadline(*stopped_at_ + after) : Deadline();
}

void SignalHold::pause(Clock::duration pause)
{
    timespec left{};
    ppoll(nullptr, 0, Deadline::in(pause).remaining(left), &mask_);
}

SignalHold::~SignalHold()
{
    // A stop that came after the last wait is caught now, so that it is not
    // taken by default before the run's end is written.
    const timespec zero{};
    ppoll(nullptr, 0, &zero, &mask_);
    int i = 0;
    for (int sig : held_signals)
        sigaction(sig, &old_[i++], nullptr);
    sigset_t mask = mask_;
    if (held)
        for (int sig : held_signals)
            sigaddset(&mask, sig);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}

int held_stop() { return held; }

void end_by_stop(int sig)
{
    if (sig == 0)
        return;
    signal(sig, SIG_DFL);
    raise(sig);  // blocked: pending until the mask opens below
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
}
