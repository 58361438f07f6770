#include "Model/AppState.hpp"

#include <algorithm>
#include <unordered_map>

#include "Control/ControlTruth.hpp"
#include "Model/MissingFigures.hpp"
#include "pyrelle/CurveSensor.hpp"
#include "pyrelle/DiagnosticInput.hpp"
#include "pyrelle/DiagnosticSource.hpp"
#include "pyrelle/Export.hpp"
#include "pyrelle/HardwareSensorKind.hpp"
#include "pyrelle/SensorTimeline.hpp"
#include "pyrelle/TurboHistory.hpp"

namespace kilnview {

using namespace pyrelle;

namespace {

// Two samples further apart than this are drawn as separate lines.
constexpr double kMaximumGap = 15;
constexpr double kRetention = 1800;

std::vector<MetricPoint> copy(std::span<const MetricPoint> points) {
    return {points.begin(), points.end()};
}

// The first `count` readings by `key`, largest first (ties by pid, so the order is stable).
template <typename Key>
std::vector<ProcessReading> top(const std::vector<ProcessReading>& processes, std::size_t count,
                                Key key) {
    std::vector<ProcessReading> result = processes;
    const auto order = [&](const ProcessReading& a, const ProcessReading& b) {
        const double ka = key(a), kb = key(b);
        if (ka != kb) return ka > kb;
        return a.pid < b.pid;
    };
    if (result.size() > count) {
        std::partial_sort(result.begin(), result.begin() + static_cast<std::ptrdiff_t>(count),
                          result.end(), order);
        result.resize(count);
    } else {
        std::sort(result.begin(), result.end(), order);
    }
    return result;
}

}  // namespace

AppState::AppState(SensorNamingPlatform platform, Date origin)
    : platform_(platform),
      cpuTemperature_(kMaximumGap, false),
      gpuTemperature_(kMaximumGap, false),
      cpuUsage_(kMaximumGap, false),
      modes_(origin) {}

Snapshot AppState::compact(const Snapshot& snapshot) {
    Snapshot kept = snapshot;
    kept.additionalSensors.reset();
    kept.sensors.clear();
    // The hottest CPU ("TC") reading and the hottest of each category keep every temperature
    // the history, the timeline and the export read from a snapshot.
    const SensorReading* hottestCPU = nullptr;
    std::map<SensorCategory, const SensorReading*> hottest;
    for (const SensorReading& reading : snapshot.sensors) {
        if (reading.key.rfind("TC", 0) == 0 &&
            (!hottestCPU || reading.celsius > hottestCPU->celsius))
            hottestCPU = &reading;
        const SensorReading*& best = hottest[reading.category()];
        if (!best || reading.celsius > best->celsius) best = &reading;
    }
    if (hottestCPU) kept.sensors.push_back(*hottestCPU);
    for (const auto& [category, reading] : hottest) {
        if (reading != hottestCPU) kept.sensors.push_back(*reading);
    }
    return kept;
}

std::vector<ActivitySource> AppState::sources(const std::vector<ProcessReading>& processes) {
    // One application is every process of one name: a browser's helpers count together.
    std::vector<ActivitySource> result;
    std::unordered_map<std::string, std::size_t> index;
    for (const ProcessReading& process : processes) {
        const std::string name = process.name.empty() ? std::to_string(process.pid) : process.name;
        auto [it, added] = index.emplace(name, result.size());
        if (added) {
            result.push_back({name, name, process.cpu, process.diskRate()});
            continue;
        }
        ActivitySource& source = result[it->second];
        source.cpu += process.cpu;
        const auto rate = process.diskRate();
        source.diskRate =
            (source.diskRate && rate) ? std::optional(*source.diskRate + *rate) : std::nullopt;
    }
    return result;
}

void AppState::record(const Snapshot& snapshot,
                      const std::optional<std::vector<ProcessReading>>& processes,
                      double processClock, const SystemTelemetry& telemetry,
                      const std::optional<DeviceStatus>& device) {
    std::lock_guard<std::mutex> guard(lock_);
    if (device) device_ = *device;
    ++samples_;
    latest_ = snapshot;
    telemetry_ = telemetry;
    const Date at = snapshot.date;

    cpuTemperature_.append(snapshot.cpuTemperature(), at);
    gpuTemperature_.append(snapshot.temperature(SensorCategory::gpu), at);
    cpuUsage_.append(snapshot.cpuUsage, at);
    for (const FanReading& fan : snapshot.fans) {
        auto it = fans_.try_emplace(fan.id, kMaximumGap, false).first;
        it->second.append(fan.rpm, at);
    }
    // A fan that vanished breaks its line rather than joining across the gap.
    for (auto& entry : fans_) {
        const auto id = entry.first;
        const bool present = std::any_of(snapshot.fans.begin(), snapshot.fans.end(),
                                         [&](const FanReading& fan) { return fan.id == id; });
        if (!present) entry.second.append(std::nullopt, at);
    }
    // The timeline is labelled with the control state as these fans read.
    const ControlView control = ControlTruth::derive(control_, &snapshot);
    modes_.append(at, control.mode, control.session, snapshot.cpuTemperature(), snapshot.cpuUsage);
    common_.record(snapshot, platform_);
    trails_.record(snapshot);

    if (at.isFinite()) {
        recorded_.push_back({compact(snapshot), control.mode});
        while (!recorded_.empty() && at.secondsSince(recorded_.front().snapshot.date) > kRetention)
            recorded_.pop_front();
    }

    if (processes) {
        if (!firstProcessClock_) firstProcessClock_ = processClock;
        processDate_ = at;
        activity_.record(sources(*processes), processClock);
        topCPU_ = top(*processes, processRows, [](const ProcessReading& p) { return p.cpu; });
        topMemory_ = top(*processes, processRows,
                         [](const ProcessReading& p) { return static_cast<double>(p.memory); });
        topDisk_ = top(*processes, processRows,
                       [](const ProcessReading& p) { return p.diskRate().value_or(-1); });
    }

    DiagnosticInput input;
    input.snapshot = snapshot;
    for (const SustainedActivity& row : activity_.rows())
        input.sources.push_back(DiagnosticSource::from(row));
    input.processSeconds = firstProcessClock_ ? processClock - *firstProcessClock_ : 0;
    input.processDate = processDate_;
    input.batteryPercent = telemetry.batteryPercent;
    const DiagnosticReport report = engine_.evaluate(input);
    const std::vector<DiagnosticFigure> missing = MissingFigures::of(
        input, report.metrics ? *report.metrics : DiagnosticMetrics::from(input));
    missing_ = MissingFigures::providable(missing);
    report_ = MissingFigures::discountPlatformGaps(report, missing);
}

void AppState::setControl(ControlView control) {
    std::lock_guard<std::mutex> guard(lock_);
    control_ = std::move(control);
}

AppView AppState::view() const {
    std::lock_guard<std::mutex> guard(lock_);
    AppView view;
    view.latest = latest_;
    view.report = report_;
    view.activity = activity_.rows();
    view.activitySeconds = activity_.seconds();
    view.topCPU = topCPU_;
    view.topMemory = topMemory_;
    view.topDisk = topDisk_;
    view.common.assign(common_.readings().begin(), common_.readings().end());
    view.telemetry = telemetry_;
    view.control = ControlTruth::derive(control_, latest_ ? &*latest_ : nullptr);
    view.device = device_;
    view.missing = missing_;
    view.samples = samples_;
    return view;
}

AppHistory AppState::history(bool timelines) const {
    std::lock_guard<std::mutex> guard(lock_);
    AppHistory history;
    history.cpuTemperature = copy(cpuTemperature_.points());
    history.gpuTemperature = copy(gpuTemperature_.points());
    history.cpuUsage = copy(cpuUsage_.points());
    for (const auto& [id, fan] : fans_) history.fans[id] = copy(fan.points());
    for (const CommonSensorReading& reading : common_.readings()) {
        if (reading.kind == HardwareSensorKind::power) {
            history.power = copy(common_.points(reading.id, 30));
            break;
        }
    }
    // The last minutes of every common reading, for the sensors page's sparklines.
    for (const CommonSensorReading& reading : common_.readings())
        history.common[reading.id] = copy(common_.points(reading.id, 5));
    history.modes.assign(modes_.records().begin(), modes_.records().end());
    if (latest_) history.end = latest_->date;
    if (timelines && !recorded_.empty()) {
        const std::vector<TimelineSample> samples(recorded_.begin(), recorded_.end());
        for (SensorCategory category : allSensorCategories) {
            const auto rows =
                SensorTimeline::records(samples, category, samples.front().snapshot.date);
            if (!rows.empty())
                history.sensorTimeline[category] = SensorTimeline::decimated(rows, timelineBudget);
        }
        std::vector<Snapshot> snapshots;
        snapshots.reserve(samples.size());
        for (const TimelineSample& sample : samples) snapshots.push_back(sample.snapshot);
        history.turboPoints = TurboHistory::points(snapshots, kMaximumGap).size();
        history.turboTransitions = TurboHistory::transitions(snapshots).size();
    }
    return history;
}

std::map<std::string, std::vector<MetricPoint>> AppState::trails() const {
    std::lock_guard<std::mutex> guard(lock_);
    return trails_.points();
}

std::string AppState::csv() const {
    std::vector<Snapshot> snapshots;
    {
        std::lock_guard<std::mutex> guard(lock_);
        snapshots.reserve(recorded_.size());
        for (const TimelineSample& sample : recorded_) snapshots.push_back(sample.snapshot);
    }
    return Export::csv(snapshots);
}

std::int64_t AppState::samples() const {
    std::lock_guard<std::mutex> guard(lock_);
    return samples_;
}

}  // namespace kilnview
