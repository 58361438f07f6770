#pragma once
// A manual clock for tests of time-bounded code: `now()` reports the current fake time and
// `pause(seconds)` advances it instantly, so 2-second or 12-second limits run in microseconds.

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace pyrelle::testing {

class FakeClock {
public:
    explicit FakeClock(double start = 1000.0) : time_(start) {}

    // Current fake time in seconds.
    double now() const {
        std::lock_guard lock(mutex_);
        return time_;
    }

    // Advances the fake time by `seconds` (negative values are ignored) and records the pause.
    void pause(double seconds) {
        std::function<void(double)> hook;
        {
            std::lock_guard lock(mutex_);
            if (seconds > 0) time_ += seconds;
            pauses_.push_back(seconds);
            hook = onPause_;
        }
        if (hook) hook(seconds);
    }

    // Moves time forward without recording a pause (something else took time).
    void advance(double seconds) {
        std::lock_guard lock(mutex_);
        time_ += seconds;
    }

    void set(double seconds) {
        std::lock_guard lock(mutex_);
        time_ = seconds;
    }

    // Every pause requested so far, in order.
    std::vector<double> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

    size_t pauseCount() const {
        std::lock_guard lock(mutex_);
        return pauses_.size();
    }

    // Called after every pause (outside the lock), e.g. to change the world between polls.
    void onPause(std::function<void(double)> hook) {
        std::lock_guard lock(mutex_);
        onPause_ = std::move(hook);
    }

    // Adapters for code that takes its clock and pause as std::function.
    std::function<double()> clock() {
        return [this] { return now(); };
    }
    std::function<void(double)> pauser() {
        return [this](double seconds) { pause(seconds); };
    }
    std::function<void()> pauser(double seconds) {
        return [this, seconds] { pause(seconds); };
    }

private:
    mutable std::mutex mutex_;
    double time_;
    std::vector<double> pauses_;
    std::function<void(double)> onPause_;
};

}  // namespace pyrelle::testing
