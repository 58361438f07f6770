#include "pyrelle/TurboHistory.hpp"

#include <algorithm>
#include <cmath>

namespace pyrelle::TurboHistory {

std::vector<TemperaturePoint> points(std::span<const Snapshot> snapshots, double maximumGap) {
    std::vector<TemperaturePoint> result;
    result.reserve(snapshots.size());
    const Snapshot* previous = nullptr;
    RecordedTurboMode previousMode = RecordedTurboMode::on;
    std::int64_t segment = 0;
    Date segmentStart;

    for (const Snapshot& snapshot : snapshots) {
        const auto mode = recordedTurboMode(snapshot.turbo);
        const auto celsius = snapshot.cpuTemperature();
        // A non-finite date cannot be placed on the elapsed-time axis either.
        if (!mode || !celsius || !std::isfinite(*celsius) || !snapshot.date.isFinite()) {
            previous = nullptr;
            continue;
        }
        if (previous == nullptr || *mode != previousMode ||
            !(snapshot.date.secondsSince(previous->date) > 0) ||
            snapshot.date.secondsSince(previous->date) > maximumGap) {
            ++segment;
            segmentStart = snapshot.date;
        }
        result.push_back(TemperaturePoint{snapshot.date, snapshot.date.secondsSince(segmentStart),
                                          *celsius, snapshot.cpuUsage, *mode, segment});
        previous = &snapshot;
        previousMode = *mode;
    }
    return result;
}

std::vector<TurboTransition> transitions(std::span<const Snapshot> snapshots) {
    std::vector<TurboTransition> result;
    std::optional<RecordedTurboMode> previous;
    for (const Snapshot& snapshot : snapshots) {
        const auto mode =
            snapshot.date.isFinite() ? recordedTurboMode(snapshot.turbo) : std::nullopt;
        if (mode && previous && *mode != *previous)
            result.push_back(TurboTransition{snapshot.date, *mode});
        previous = mode;
    }
    return result;
}

TemperatureSummary summary(std::span<const TemperaturePoint> points, RecordedTurboMode mode) {
    TemperatureSummary result;
    double celsiusSum = 0, loadSum = 0, maximum = 0;
    int loads = 0;
    for (const TemperaturePoint& point : points) {
        if (point.mode != mode) continue;
        maximum = result.count == 0 ? point.celsius : std::max(maximum, point.celsius);
        ++result.count;
        celsiusSum += point.celsius;
        if (point.cpuLoad && std::isfinite(*point.cpuLoad)) {
            loadSum += *point.cpuLoad;
            ++loads;
        }
    }
    if (result.count > 0) {
        result.average = celsiusSum / result.count;
        result.maximum = maximum;
    }
    if (loads > 0) result.averageLoad = loadSum / loads;
    return result;
}

}  // namespace pyrelle::TurboHistory
