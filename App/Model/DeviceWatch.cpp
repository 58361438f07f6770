#include "Model/DeviceWatch.hpp"

#include <algorithm>
#include <cmath>

namespace kilnview {

using namespace pyrelle;

bool DeviceWatch::answered(const Snapshot& snapshot) {
    if (!snapshot.sensors.empty() || !snapshot.fans.empty()) return true;
    if (!snapshot.additionalSensors) return false;
    return std::any_of(
        snapshot.additionalSensors->begin(), snapshot.additionalSensors->end(),
        [](const HardwareSensorReading& reading) { return reading.value.has_value(); });
}

bool DeviceWatch::observe(const Snapshot& snapshot, double now) {
    if (!firstSample_) firstSample_ = snapshot.date;
    if (answered(snapshot)) {
        status_.answering = true;
        status_.everAnswered = true;
        status_.lastAnswer = snapshot.date;
        status_.silentSince.reset();
        next_.reset();
        delay_ = firstDelay;
        return false;
    }
    status_.answering = false;
    if (!status_.silentSince) status_.silentSince = status_.lastAnswer.value_or(*firstSample_);
    // The first silent sample reconnects at once: a dropped or restarted device is usually
    // back already, and the connection that failed is of no further use.
    if (next_ && now < *next_) return false;
    const double limit = status_.everAnswered ? maximumDelay : absentDelay;
    next_ = now + delay_;
    delay_ = std::min(delay_ * 2, limit);
    return true;
}

}  // namespace kilnview
