#include "pyrelle/CurvePolicy.hpp"

#include <algorithm>
#include <cmath>

namespace pyrelle::CurvePolicy {

bool requiresMaximum(const Snapshot& snapshot) {
    const auto cpu = snapshot.cpuTemperature();
    const auto gpu = snapshot.temperature(SensorCategory::gpu);
    const auto storage = snapshot.temperature(SensorCategory::storage);
    return (cpu && *cpu >= 92) || (gpu && *gpu >= 88) || (storage && *storage >= 75) ||
           snapshot.thermalState == 2 || snapshot.thermalState == 3;
}

bool highTemperatureWithLowFanSpeed(const Snapshot& snapshot) {
    if (!requiresMaximum(snapshot) || snapshot.fans.empty()) return false;
    return std::all_of(snapshot.fans.begin(), snapshot.fans.end(), [](const FanReading& fan) {
        if (!fan.rpm || !fan.minimum || !fan.maximum) return false;
        const double rpm = *fan.rpm, minimum = *fan.minimum, maximum = *fan.maximum;
        if (!std::isfinite(rpm) || !std::isfinite(minimum) || !std::isfinite(maximum)) return false;
        return rpm >= 0 && minimum >= 0 && minimum < maximum &&
               rpm <= minimum + 0.1 * (maximum - minimum);
    });
}

double percent(double rpm, double minimum, double maximum) {
    if (!std::isfinite(rpm) || !std::isfinite(minimum) || !std::isfinite(maximum) ||
        !(minimum < maximum)) {
        return 0;
    }
    return std::clamp((rpm - minimum) / (maximum - minimum) * 100, 0.0, 100.0);
}

double rpm(double percent, double minimum, double maximum) {
    const double p = std::isnan(percent) ? 0.0 : std::clamp(percent, 0.0, 100.0);
    return minimum + (maximum - minimum) * p / 100;
}

double smooth(double desired, std::optional<double> previous) {
    if (previous && desired < *previous) return std::max(desired, *previous - 4);
    return desired;
}

}  // namespace pyrelle::CurvePolicy
