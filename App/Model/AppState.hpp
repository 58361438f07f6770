#pragma once
// AppState: everything Kilnview knows about the machine, fed one sample at a time by the
// sampling loop and read by the web pages, /metrics and the widget publisher. It owns the
// 30-minute histories, the mode timeline, the sensor history, the CPU activity window, the
// diagnostic engine and the recorded snapshots behind the CSV export. Thread-safe: one mutex
// guards every member; readers get plain values (AppView, AppHistory) and never hold the lock.

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Model/AppView.hpp"
#include "Model/SensorTrails.hpp"
#include "pyrelle/CPUActivityWindow.hpp"
#include "pyrelle/CommonSensorHistory.hpp"
#include "pyrelle/DiagnosticEngine.hpp"
#include "pyrelle/MetricHistory.hpp"
#include "pyrelle/ModeHistory.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"
#include "pyrelle/TimelineSample.hpp"

namespace kilnview {

class AppState {
public:
    // Seconds of activity the activity window integrates over.
    static constexpr double activitySeconds = 60;
    // Rows of each process table kept for display.
    static constexpr std::size_t processRows = 12;
    // Drawn rows per sensor-timeline category.
    static constexpr int timelineBudget = 240;

    explicit AppState(pyrelle::SensorNamingPlatform platform, pyrelle::Date origin);

    // One sample of the machine. `processes` is absent when the process sampler had nothing
    // (its first call, or a failed snapshot); `processClock` is its monotonic second count.
    // `device`, when given, is whether the SMC answered this sample; it changes together with
    // the readings, so no reader sees the one without the other.
    void record(const pyrelle::Snapshot& snapshot,
                const std::optional<std::vector<pyrelle::ProcessReading>>& processes,
                double processClock, const pyrelle::SystemTelemetry& telemetry,
                const std::optional<DeviceStatus>& device = std::nullopt);

    // What the fan-control side reports; shown on the pages and labels the mode timeline as
    // corrected by the fans as read (ControlTruth).
    void setControl(ControlView control);

    AppView view() const;
    // The histories; with `timelines`, also the sensor timeline and turbo history, which are
    // computed from the recorded snapshots on each call.
    AppHistory history(bool timelines = false) const;
    // The last five minutes of every discovered reading, by reading id, for the sensors page.
    std::map<std::string, std::vector<pyrelle::MetricPoint>> trails() const;
    // The recorded snapshots (last 30 minutes) as the core's CSV export.
    std::string csv() const;
    // How many samples have been recorded since start.
    std::int64_t samples() const;

    // The snapshot as kept for history: only the hottest sensor of each category, so every
    // category temperature (and the CPU temperature) reads the same while the record stays
    // small enough to keep 30 minutes of them.
    static pyrelle::Snapshot compact(const pyrelle::Snapshot& snapshot);
    // Process readings grouped by name into the activity window's per-application figures.
    static std::vector<pyrelle::ActivitySource> sources(
        const std::vector<pyrelle::ProcessReading>& processes);

private:
    mutable std::mutex lock_;
    pyrelle::SensorNamingPlatform platform_;                             // fixed at creation
    std::optional<pyrelle::Snapshot> latest_;                            // guarded by lock_
    std::deque<pyrelle::TimelineSample> recorded_;                       // guarded by lock_
    pyrelle::MetricHistory cpuTemperature_;                              // guarded by lock_
    pyrelle::MetricHistory gpuTemperature_;                              // guarded by lock_
    pyrelle::MetricHistory cpuUsage_;                                    // guarded by lock_
    std::map<int, pyrelle::MetricHistory> fans_;                         // guarded by lock_
    pyrelle::ModeHistory modes_;                                         // guarded by lock_
    pyrelle::CommonSensorHistory common_;                                // guarded by lock_
    SensorTrails trails_;                                                // guarded by lock_
    pyrelle::CPUActivityWindow activity_{activitySeconds};               // guarded by lock_
    pyrelle::DiagnosticEngine engine_;                                   // guarded by lock_
    pyrelle::DiagnosticReport report_;                                   // guarded by lock_
    std::vector<pyrelle::ProcessReading> topCPU_, topMemory_, topDisk_;  // guarded by lock_
    std::optional<double> firstProcessClock_;                            // guarded by lock_
    std::optional<pyrelle::Date> processDate_;                           // guarded by lock_
    pyrelle::SystemTelemetry telemetry_;                                 // guarded by lock_
    ControlView control_;                                                // guarded by lock_
    DeviceStatus device_;                                                // guarded by lock_
    std::vector<DiagnosticFigure> missing_;                              // guarded by lock_
    std::int64_t samples_ = 0;                                           // guarded by lock_
};

}  // namespace kilnview
