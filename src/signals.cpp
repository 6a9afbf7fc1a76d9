#include "signals.h"

#include <poll.h>

namespace {

volatile sig_atomic_t held = 0;   // the stop that ends the run after the records
volatile sig_atomic_t fresh = 0;  // a stop not yet passed on
constexpr int run_signals[] = {SIGPIPE, SIGXFSZ, SIGINT, SIGQUIT};
sigset_t found_default;                 // those of run_signals that were not ignored
const sigset_t* open_mask = nullptr;  // the mask to wait with while a hold is alive

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
    open_mask = &mask_;
}

const sigset_t& SignalHold::child_defaults() const { return found_default; }

int SignalHold::take_stop()
{
    const int sig = fresh;
    fresh = 0;
    return sig;
}

void SignalHold::restore()
{
    released_ = true;
    open_mask = nullptr;
    int i = 0;
    for (int sig : held_signals)
        sigaction(sig, &old_[i++], nullptr);
    // A stop that came after the last wait is delivered here, by default.
    sigprocmask(SIG_SETMASK, &mask_, nullptr);
}

void SignalHold::release()
{
    restore();
    if (const int sig = held) {
        held = 0;
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        sigprocmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
    }
}

SignalHold::~SignalHold()
{
    if (!released_)
        restore();
}

int stop_held() { return open_mask ? static_cast<int>(held) : 0; }

void pause_for(const timespec& pause)
{
    if (open_mask)
        ppoll(nullptr, 0, &pause, open_mask);
    else
        nanosleep(&pause, nullptr);
}
