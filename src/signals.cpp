#include "signals.h"

namespace {

volatile sig_atomic_t held = 0;   // the stop that ends the run after the records
volatile sig_atomic_t fresh = 0;  // a stop not yet passed on
constexpr int write_signals[] = {SIGPIPE, SIGXFSZ};
sigset_t write_signals_found_default;

extern "C" void hold_signal(int sig)
{
    held = sig;
    fresh = sig;
}

}  // namespace

void ignore_write_signals()
{
    sigemptyset(&write_signals_found_default);
    for (int sig : write_signals) {
        struct sigaction ignore {}, old {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(sig, &ignore, &old);
        if (old.sa_handler != SIG_IGN)
            sigaddset(&write_signals_found_default, sig);
    }
}

SignalHold::SignalHold() : child_defaults_(write_signals_found_default)
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
    for (int sig : ignored_signals) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(sig, &ignore, &old_[i]);
        if (old_[i].sa_handler != SIG_IGN)
            sigaddset(&child_defaults_, sig);
        ++i;
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

int SignalHold::take_stop()
{
    const int sig = fresh;
    fresh = 0;
    return sig;
}

void SignalHold::restore()
{
    released_ = true;
    int i = 0;
    for (int sig : held_signals)
        sigaction(sig, &old_[i++], nullptr);
    for (int sig : ignored_signals)
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
