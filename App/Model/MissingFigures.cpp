#include "Model/MissingFigures.hpp"

#include <algorithm>

namespace kilnview::MissingFigures {

using namespace pyrelle;

namespace {

// The engine's warm thresholds, which decide "observing" for complete data.
constexpr double kWarmCPU = 80;
constexpr double kWarmGPU = 75;
constexpr const char* kDataUnavailable = "data-unavailable";

}  // namespace

std::vector<DiagnosticFigure> of(const DiagnosticInput& input, const DiagnosticMetrics& metrics) {
    const Snapshot& s = input.snapshot;
    std::vector<DiagnosticFigure> missing;
    if (!metrics.cpuTemperature) missing.push_back(DiagnosticFigure::cpuTemperature);
    if (!metrics.cpuUsage) missing.push_back(DiagnosticFigure::cpuUsage);
    if (!s.speedLimit) missing.push_back(DiagnosticFigure::speedLimit);
    if (!s.schedulerLimit) missing.push_back(DiagnosticFigure::schedulerLimit);
    if (!s.memoryPressure) missing.push_back(DiagnosticFigure::memoryPressure);
    if (!s.availableCPUs) missing.push_back(DiagnosticFigure::availableCPUs);
    if (!metrics.processFresh) missing.push_back(DiagnosticFigure::processFigures);
    if (!metrics.wakeRequestsKnown) missing.push_back(DiagnosticFigure::sleepBlockers);
    return missing;
}

bool providedByPlatform(DiagnosticFigure figure) {
    return figure != DiagnosticFigure::sleepBlockers;
}

std::vector<DiagnosticFigure> providable(const std::vector<DiagnosticFigure>& missing) {
    std::vector<DiagnosticFigure> kept;
    std::copy_if(missing.begin(), missing.end(), std::back_inserter(kept), providedByPlatform);
    return kept;
}

DiagnosticReport discountPlatformGaps(DiagnosticReport report,
                                      const std::vector<DiagnosticFigure>& missing) {
    if (missing.empty() || !providable(missing).empty()) return report;
    std::erase_if(report.findings,
                  [](const DiagnosticFinding& finding) { return finding.id == kDataUnavailable; });
    if (report.state != DiagnosticState::partial) return report;
    const auto atLeast = [](const std::optional<double>& value, double limit) {
        return value && *value >= limit;
    };
    const bool warm = report.metrics && (atLeast(report.metrics->cpuTemperature, kWarmCPU) ||
                                         atLeast(report.metrics->gpuTemperature, kWarmGPU));
    const bool disk = std::any_of(report.findings.begin(), report.findings.end(),
                                  [](const DiagnosticFinding& finding) {
                                      return finding.kind == DiagnosticKind::diskActivity;
                                  });
    report.state = warm || disk ? DiagnosticState::observing : DiagnosticState::stable;
    return report;
}

}  // namespace kilnview::MissingFigures
