#include "pyrelle/DiagnosticEngine.hpp"

#include <algorithm>
#include <cmath>

namespace pyrelle {

namespace {

// Finding identifiers and subjects, the texts the desktop application keys its wording on.
constexpr const char* thermalPressureID = "thermal-pressure";
constexpr const char* systemLimitID = "system-limit";
constexpr const char* temperatureID = "temperature";
constexpr const char* temperatureObservationID = "temperature-observation";
constexpr const char* memoryPressureID = "memory-pressure";
constexpr const char* cpuPrefix = "cpu:";
constexpr const char* diskPrefix = "disk:";
constexpr const char* batteryPolicyID = "battery-policy";
constexpr const char* wakeRequestsID = "wake-requests";
constexpr const char* dataUnavailableID = "data-unavailable";
constexpr const char* cpuSubject = "CPU";
constexpr const char* gpuSubject = "GPU";

// Thresholds of the rules.
constexpr double hotCPU = 90;             // °C
constexpr double hotGPU = 85;             // °C
constexpr double warmCPU = 80;            // °C
constexpr double warmGPU = 75;            // °C
constexpr double hotFor = 30;             // seconds hot before a temperature warning
constexpr double sustainedFor = 45;       // seconds of process data before naming CPU users
constexpr double sustainedAverage = 100;  // percent of one CPU
constexpr double sustainedCurrent = 50;   // percent of one CPU
constexpr std::size_t sustainedFindings = 2;
constexpr double diskFor = 30;            // seconds
constexpr double diskAverage = 20971520;  // 20 MiB/s
constexpr double diskCurrent = 5242880;   // 5 MiB/s
constexpr double diskSecondsShown = 60;
constexpr double lowBattery = 30;        // percent
constexpr double unavailableAfter = 30;  // seconds observed before reporting missing data
constexpr double settledAfter = 45;      // seconds observed before leaving `sampling`

std::optional<double> finite(std::optional<double> value) {
    if (value && std::isfinite(*value)) return value;
    return std::nullopt;
}

bool atLeast(const std::optional<double>& value, double threshold) {
    return value && std::isfinite(*value) && *value >= threshold;
}

DiagnosticFinding finding(std::string id, DiagnosticKind kind, DiagnosticSeverity severity,
                          DiagnosticConfidence confidence, DiagnosticAction action) {
    DiagnosticFinding f{std::move(id), kind,         severity,     confidence,
                        std::nullopt,  std::nullopt, std::nullopt, std::move(action)};
    return f;
}

// Rule 3: the two busiest applications that stayed busy, busiest first.
void addSustainedCPU(const DiagnosticInput& input, const DiagnosticMetrics& metrics,
                     std::vector<DiagnosticFinding>& findings) {
    if (!metrics.processFresh || metrics.processSeconds < sustainedFor) return;
    std::vector<const DiagnosticSource*> candidates;
    for (const DiagnosticSource& source : input.sources) {
        if (!std::isfinite(source.averageCPU) || source.averageCPU < sustainedAverage) continue;
        if (!std::isfinite(source.currentCPU) || source.currentCPU < sustainedCurrent) continue;
        candidates.push_back(&source);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const DiagnosticSource* a, const DiagnosticSource* b) {
                         return a->averageCPU > b->averageCPU;
                     });
    for (std::size_t i = 0; i < candidates.size() && i < sustainedFindings; ++i) {
        const DiagnosticSource& source = *candidates[i];
        // One application's CPU use is only ever a possible cause.
        DiagnosticFinding f = finding(cpuPrefix + source.id, DiagnosticKind::sustainedCPU,
                                      DiagnosticSeverity::warning, DiagnosticConfidence::possible,
                                      DiagnosticAction::reviewApplication(source.id));
        f.subject = source.name;
        f.value = source.averageCPU;
        f.seconds = metrics.processSeconds;
        findings.push_back(std::move(f));
    }
}

// Rule 4: the one application with the heaviest sustained disk traffic.
void addDiskActivity(const DiagnosticInput& input, const DiagnosticMetrics& metrics,
                     std::vector<DiagnosticFinding>& findings) {
    if (!metrics.processFresh) return;
    const DiagnosticSource* best = nullptr;
    for (const DiagnosticSource& source : input.sources) {
        if (!(source.diskSeconds >= diskFor)) continue;
        if (!atLeast(source.averageDiskRate, diskAverage)) continue;
        if (!atLeast(source.currentDiskRate, diskCurrent)) continue;
        if (!best || *source.averageDiskRate > *best->averageDiskRate) best = &source;
    }
    if (!best) return;
    DiagnosticFinding f = finding(diskPrefix + best->id, DiagnosticKind::diskActivity,
                                  DiagnosticSeverity::information, DiagnosticConfidence::confirmed,
                                  DiagnosticAction::reviewApplication(best->id));
    f.subject = best->name;
    f.value = best->averageDiskRate;
    f.seconds = std::min(best->diskSeconds, diskSecondsShown);
    findings.push_back(std::move(f));
}

// Missing inputs are missing, never normal: any of these makes the data incomplete.
bool incomplete(const DiagnosticInput& input, const DiagnosticMetrics& metrics) {
    const Snapshot& s = input.snapshot;
    return !metrics.cpuTemperature || !metrics.cpuUsage || !s.speedLimit || !s.schedulerLimit ||
           !s.memoryPressure || !s.availableCPUs || !metrics.processFresh ||
           !metrics.wakeRequestsKnown;
}

}  // namespace

void DiagnosticEngine::sort(std::vector<DiagnosticFinding>& findings) {
    std::stable_sort(findings.begin(), findings.end(),
                     [](const DiagnosticFinding& a, const DiagnosticFinding& b) {
                         if (a.severity != b.severity) return value(a.severity) > value(b.severity);
                         const int pa = priority(a.kind), pb = priority(b.kind);
                         if (pa != pb) return pa < pb;
                         return a.id < b.id;
                     });
}

DiagnosticReport DiagnosticEngine::evaluate(const DiagnosticInput& input) {
    const Snapshot& snapshot = input.snapshot;
    DiagnosticMetrics metrics = DiagnosticMetrics::from(input);

    // Continuity: only a strictly later sample at most 15 s on extends the stretch. A date
    // that is not a number fails the test too, and so resets.
    std::optional<double> delta;
    if (last_) {
        const double d = snapshot.date.secondsSince(*last_);
        if (d > 0 && d <= maximumGap) delta = d;
    }
    if (delta) {
        observed_ = std::min(observed_ + *delta, observationCap);
    } else {
        observed_ = 0;
        hotSeconds_ = 0;
        hotSource_.reset();
    }
    last_ = snapshot.date;

    const std::optional<double> cpuTemperature = finite(snapshot.cpuTemperature());
    const std::optional<double> gpuTemperature = finite(snapshot.temperature(SensorCategory::gpu));

    std::optional<SensorCategory> hot;
    if (atLeast(cpuTemperature, hotCPU))
        hot = SensorCategory::cpu;
    else if (atLeast(gpuTemperature, hotGPU))
        hot = SensorCategory::gpu;
    if (hot && hotSource_ == hot && delta)
        hotSeconds_ += *delta;
    else
        hotSeconds_ = 0;  // the first hot sample, or a switch of source, starts from zero
    hotSource_ = hot;

    const bool cpuWarm = atLeast(cpuTemperature, warmCPU);
    const bool warm = cpuWarm || atLeast(gpuTemperature, warmGPU);

    std::vector<DiagnosticFinding> findings;
    const DiagnosticAction timeline = DiagnosticAction::temperatureTimeline();
    if (snapshot.thermalState == 2 || snapshot.thermalState == 3) {
        DiagnosticFinding f = finding(
            thermalPressureID,
            snapshot.limited() ? DiagnosticKind::thermalLimit : DiagnosticKind::thermalPressure,
            snapshot.thermalState == 3 ? DiagnosticSeverity::critical : DiagnosticSeverity::warning,
            DiagnosticConfidence::confirmed, timeline);
        f.value = snapshot.thermalState;
        findings.push_back(std::move(f));
    } else if (snapshot.limited()) {
        // A limit without heat evidence is a limit, not overheating.
        DiagnosticFinding f = finding(
            systemLimitID, DiagnosticKind::performanceLimit,
            snapshot.lowPower ? DiagnosticSeverity::information : DiagnosticSeverity::warning,
            DiagnosticConfidence::confirmed, timeline);
        if (snapshot.speedLimit) f.value = *snapshot.speedLimit;
        findings.push_back(std::move(f));
    } else if (hot && hotSeconds_ >= hotFor) {
        DiagnosticFinding f =
            finding(temperatureID, DiagnosticKind::temperature, DiagnosticSeverity::warning,
                    DiagnosticConfidence::possible, timeline);
        const bool cpu = *hot == SensorCategory::cpu;
        f.subject = cpu ? cpuSubject : gpuSubject;
        f.value = cpu ? cpuTemperature : gpuTemperature;
        f.seconds = hotSeconds_;
        findings.push_back(std::move(f));
    } else if (warm) {
        DiagnosticFinding f =
            finding(temperatureObservationID, DiagnosticKind::temperatureObservation,
                    DiagnosticSeverity::information, DiagnosticConfidence::confirmed, timeline);
        f.subject = cpuWarm ? cpuSubject : gpuSubject;
        f.value = cpuWarm ? cpuTemperature : gpuTemperature;
        findings.push_back(std::move(f));
    }

    if (snapshot.memoryPressure == MemoryPressure::warning ||
        snapshot.memoryPressure == MemoryPressure::critical) {
        const bool critical = snapshot.memoryPressure == MemoryPressure::critical;
        DiagnosticFinding f =
            finding(memoryPressureID, DiagnosticKind::memoryPressure,
                    critical ? DiagnosticSeverity::critical : DiagnosticSeverity::warning,
                    DiagnosticConfidence::confirmed, DiagnosticAction::memoryProcesses());
        f.value = value(*snapshot.memoryPressure);
        findings.push_back(std::move(f));
    }

    addSustainedCPU(input, metrics, findings);
    addDiskActivity(input, metrics, findings);

    if (input.supportsLowPowerMode && snapshot.acPower == false && !snapshot.lowPower &&
        input.batteryPercent && std::isfinite(*input.batteryPercent) &&
        *input.batteryPercent >= 0 && *input.batteryPercent <= lowBattery) {
        DiagnosticFinding f =
            finding(batteryPolicyID, DiagnosticKind::batteryPolicy, DiagnosticSeverity::information,
                    DiagnosticConfidence::confirmed, DiagnosticAction::lowPowerPlan());
        f.value = input.batteryPercent;
        findings.push_back(std::move(f));
    }

    if (metrics.wakeRequestsKnown && *input.blockers >= 1) {
        DiagnosticFinding f =
            finding(wakeRequestsID, DiagnosticKind::wakeRequests, DiagnosticSeverity::information,
                    DiagnosticConfidence::confirmed, DiagnosticAction::wakeRequests());
        f.value = *input.blockers;
        findings.push_back(std::move(f));
    }

    const bool dataIncomplete = incomplete(input, metrics);
    if (dataIncomplete && observed_ >= unavailableAfter) {
        findings.push_back(finding(dataUnavailableID, DiagnosticKind::unavailable,
                                   DiagnosticSeverity::information,
                                   DiagnosticConfidence::unavailable, DiagnosticAction::refresh()));
    }

    sort(findings);

    DiagnosticReport report;
    report.attentionCount = static_cast<int>(std::count_if(
        findings.begin(), findings.end(),
        [](const DiagnosticFinding& f) { return f.severity != DiagnosticSeverity::information; }));
    const bool diskFinding = std::any_of(
        findings.begin(), findings.end(),
        [](const DiagnosticFinding& f) { return f.kind == DiagnosticKind::diskActivity; });
    if (report.attentionCount > 0)
        report.state = DiagnosticState::attention;
    else if (observed_ < settledAfter)
        report.state = DiagnosticState::sampling;
    else if (metrics.processFresh && metrics.processSeconds < settledAfter)
        report.state = DiagnosticState::sampling;
    else if (dataIncomplete)
        report.state = DiagnosticState::partial;
    else if (warm || diskFinding)
        report.state = DiagnosticState::observing;
    else
        report.state = DiagnosticState::stable;

    report.findings = std::move(findings);
    report.observedSeconds = metrics.processFresh && metrics.processSeconds < observed_
                                 ? metrics.processSeconds
                                 : observed_;
    report.date = snapshot.date;
    report.metrics = std::move(metrics);
    return report;
}

}  // namespace pyrelle
