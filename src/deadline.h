// One clock for every wait of a run, and the run's timeline: each bound on a
// wait is named here once, and every wait is a Deadline on the same clock.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <optional>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The bounds a run keeps, whatever the user's line or the host's readers do.
namespace bounds {
// After a host's stop: the user is waited on no more (what the command still
// writes is dropped) ...
inline constexpr milliseconds stop_grace{1000};
// ... and the command, if still there, is killed.
inline constexpr milliseconds stop_kill{3000};
// Once the command has ended, a line that takes nothing for this long gets
// nothing more: the run ends as it otherwise would.
inline constexpr milliseconds idle_line{5000};
// A record waits this long for the transfer log's lock, which any reader of
// the log may hold.
inline constexpr milliseconds log_lock{2000};
// At the end, the event stream's reader is waited on this long.
inline constexpr milliseconds events_reader{1000};
// A command that a failing run never finished gets this long after a
// terminate before it is killed.
inline constexpr milliseconds forgotten_command{1000};
}  // namespace bounds

// A point on the clock by which a wait ends; by default, never.
class Deadline {
public:
    Deadline() = default;
    explicit Deadline(Clock::time_point at) : at_(at) {}
    static Deadline in(Clock::duration d) { return Deadline(Clock::now() + d); }

    bool passed() const { return at_ && Clock::now() >= *at_; }
    Deadline earlier(const Deadline& other) const
    {
        if (!at_ || !other.at_)
            return at_ ? *this : other;
        return Deadline(std::min(*at_, *other.at_));
    }
    // The time left, for ppoll(): in `left`, never negative; null for never.
    const timespec* remaining(timespec& left) const
    {
        if (!at_)
            return nullptr;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*at_ - Clock::now()).count();
        left = ns <= 0 ? timespec{} : timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        return &left;
    }
    // The time left for poll(): -1 for never, else whole milliseconds rounded up.
    int remaining_ms() const
    {
        if (!at_)
            return -1;
        const auto ms = std::chrono::ceil<milliseconds>(*at_ - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(ms, 0, 1 << 30));
    }

private:
    std::optional<Clock::time_point> at_;
};

// Seconds between two points of the clock, for what the events report.
inline double seconds_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}
