#pragma once
// DeviceWatch: whether the SMC answered the latest sample, since when it has not, and when the
// sampler should reconnect. A connection whose request timed out or broke is never trusted
// again (a late reply to an earlier request could otherwise be taken as the answer to a later
// one), so recovering always means a new connection. Attempts back off from `firstDelay` to
// `maximumDelay` seconds, so a device that stays away costs one connection every 2 seconds
// (every `absentDelay` when it never answered at all) while one that comes back is read again
// within seconds. Time is the caller's monotonic second count, so tests drive it with a fake
// clock. Not thread-safe: the sampling loop owns it.

#include <optional>

#include "Model/AppView.hpp"
#include "pyrelle/Snapshot.hpp"

namespace kilnview {

class DeviceWatch {
public:
    static constexpr double firstDelay = 0.5;
    static constexpr double maximumDelay = 2;
    // A device that has never answered since start is looked for less often.
    static constexpr double absentDelay = 30;

    // Whether `snapshot` carries anything the SMC answered: a sensor value or a fan.
    static bool answered(const pyrelle::Snapshot& snapshot);

    // Takes the outcome of one sample taken at monotonic second `now`; true when the caller
    // should reconnect before the next sample.
    bool observe(const pyrelle::Snapshot& snapshot, double now);

    // The monotonic second of the next reconnection; absent while the device answers.
    std::optional<double> nextAttempt() const { return next_; }
    DeviceStatus status() const { return status_; }

private:
    DeviceStatus status_;
    std::optional<pyrelle::Date> firstSample_;
    std::optional<double> next_;
    double delay_ = firstDelay;
};

}  // namespace kilnview
