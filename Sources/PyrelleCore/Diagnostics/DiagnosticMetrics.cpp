#include "pyrelle/DiagnosticMetrics.hpp"

#include <algorithm>
#include <cmath>

#include "pyrelle/DiagnosticInput.hpp"

namespace pyrelle {

namespace {

std::optional<double> plausibleTemperature(std::optional<double> celsius) {
    if (celsius && std::isfinite(*celsius) && *celsius >= 0) return celsius;
    return std::nullopt;
}

bool knownNonNegative(const std::optional<double>& figure) {
    return figure && std::isfinite(*figure) && *figure >= 0;
}

// The busiest source by average CPU; the first one wins a tie.
std::optional<DiagnosticSource> busiestCPU(const std::vector<DiagnosticSource>& sources) {
    const DiagnosticSource* best = nullptr;
    for (const DiagnosticSource& source : sources) {
        if (!std::isfinite(source.averageCPU) || source.averageCPU < 0) continue;
        if (!std::isfinite(source.currentCPU) || source.currentCPU < 0) continue;
        if (!best || source.averageCPU > best->averageCPU) best = &source;
    }
    return best ? std::optional<DiagnosticSource>(*best) : std::nullopt;
}

// The busiest source by average disk rate; the first one wins a tie.
std::optional<DiagnosticSource> busiestDisk(const std::vector<DiagnosticSource>& sources) {
    const DiagnosticSource* best = nullptr;
    for (const DiagnosticSource& source : sources) {
        if (!std::isfinite(source.diskSeconds) || source.diskSeconds <= 0) continue;
        if (!knownNonNegative(source.averageDiskRate)) continue;
        if (!knownNonNegative(source.currentDiskRate)) continue;
        if (!best || *source.averageDiskRate > *best->averageDiskRate) best = &source;
    }
    return best ? std::optional<DiagnosticSource>(*best) : std::nullopt;
}

}  // namespace

DiagnosticMetrics DiagnosticMetrics::from(const DiagnosticInput& input) {
    const Snapshot& snapshot = input.snapshot;
    DiagnosticMetrics metrics;

    if (snapshot.cpuUsage && std::isfinite(*snapshot.cpuUsage) && *snapshot.cpuUsage >= 0 &&
        *snapshot.cpuUsage <= 100)
        metrics.cpuUsage = snapshot.cpuUsage;
    metrics.cpuTemperature = plausibleTemperature(snapshot.cpuTemperature());
    metrics.gpuTemperature = plausibleTemperature(snapshot.temperature(SensorCategory::gpu));
    metrics.memoryPressure = snapshot.memoryPressure;
    metrics.thermalTitle = snapshot.thermalTitle();
    if (snapshot.speedLimit && snapshot.schedulerLimit && snapshot.availableCPUs)
        metrics.performanceLimited = snapshot.limited();
    // A negative count of blockers is not a count at all.
    metrics.wakeRequestsKnown = input.blockers && *input.blockers >= 0;

    if (input.processDate) {
        const double age = snapshot.date.secondsSince(*input.processDate);
        // Written so that an age that is not a number is not fresh.
        metrics.processFresh = age >= -freshAhead && age <= freshBehind;
    }
    if (!metrics.processFresh) return metrics;
    if (!std::isfinite(input.processSeconds) || input.processSeconds <= 0) return metrics;

    metrics.processSeconds = std::min(input.processSeconds, 60.0);
    metrics.cpuSource = busiestCPU(input.sources);
    metrics.diskSource = busiestDisk(input.sources);
    return metrics;
}

}  // namespace pyrelle
