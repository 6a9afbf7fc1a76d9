#include "signals.h"

namespace {

volatile sig_atomic_t held = 0;

extern "C" void hold_signal(int sig) { held = sig; }

}  // namespace

SignalHold::SignalHold()
{
    held = 0;
    sigemptyset(&child_defaults_);
    sigprocmask(SIG_SETMASK, nullptr, &mask_);
    int i = 0;
    for (int sig : held_signals) {
        struct sigaction catcher {};
        catcher.sa_handler = hold_signal;
        sigemptyset(&catcher.sa_mask);
        sigaction(sig, nullptr, &old_[i]);
        if (old_[i].sa_handler != SIG_IGN)
            sigaction(sig, &catcher, nullptr);  // a caught signal is default again after exec
        ++i;
    }
    for (int sig : ignored_signals) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(sig, &ignore, &old_[i]);
        if (old_[i].sa_handler != SIG_IGN)
            sigaddset(&child_defaults_, sig);
        ++i;
    }
}

void SignalHold::restore()
{
    released_ = true;
    int i = 0;
    for (int sig : held_signals)
        sigaction(sig, &old_[i++], nullptr);
    for (int sig : ignored_signals)
        sigaction(sig, &old_[i++], nullptr);
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
