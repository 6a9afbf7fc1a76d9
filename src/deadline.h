// One clock for every wait of a run, and the run's timeline: each bound on a
// wait is named here once, and every wait ends at a Deadline on that clock.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <optional>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The bounds a run keeps, whatever the user's line or the host's readers do.
namespace bounds {
inline constexpr milliseconds stop_grace{1000};  // after a stop: the user is waited on no more
inline constexpr milliseconds stop_kill{3000};   // after a stop: the command is killed
// Once the command has ended: a line that has taken nothing for this long gets
// nothing more, and the run ends as it otherwise would.
inline constexpr milliseconds idle_line{5000};
inline constexpr milliseconds log_lock{2000};           // a record waits for the log's lock
inline constexpr milliseconds events_reader{1000};      // at the end, for the events' reader
inline constexpr milliseconds forgotten_command{1000};  // a failing run's command: terminate, then kill
inline constexpr milliseconds cancel_heeded{1000};      // the user's cancel, before the run stops the command
inline constexpr milliseconds relay_look{200};          // what the relay saw, looked at at least this often
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
        return !at_ || (other.at_ && *other.at_ < *at_) ? other : *this;
    }
    // The time left, for ppoll(): in `left`, never negative; null for never.
    const timespec* remaining(timespec& left) const
    {
        if (!at_)
            return nullptr;
        const auto ns = std::max<long long>(0, std::chrono::nanoseconds(*at_ - Clock::now()).count());
        left = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        return &left;
    }
    // The time left for poll(): -1 for never, else milliseconds rounded up.
    int remaining_ms() const
    {
        if (!at_)
            return -1;
        return static_cast<int>(std::clamp<long long>(std::chrono::ceil<milliseconds>(*at_ - Clock::now()).count(), 0, 1 << 30));
    }

private:
    std::optional<Clock::time_point> at_;
};
