#pragma once
// AppView and AppHistory: plain copies of AppState for one page, one /metrics scrape or one
// event. The live part (AppView) is small; the history part is copied only when a page that
// draws charts asks for it.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pyrelle/CommonSensorReading.hpp"
#include "pyrelle/DiagnosticReport.hpp"
#include "pyrelle/MetricPoint.hpp"
#include "pyrelle/ModeRecord.hpp"
#include "pyrelle/ProcessReading.hpp"
#include "pyrelle/Snapshot.hpp"
#include "pyrelle/SustainedActivity.hpp"
#include "pyrelle/SystemTelemetry.hpp"

namespace kilnview {

// The mode label of fans under system-automatic control.
inline constexpr const char* kAutomaticMode = "系统自动";
// The mode label of fans under manual control.
inline constexpr const char* kManualMode = "手动";

// What the fan-control side reports about the helper and its leases.
struct ControlView {
    std::string mode = kAutomaticMode;       // the running lease's label, else the fans as read
    std::optional<std::string> session;      // identifier of the running lease
    std::optional<double> remainingSeconds;  // of the running lease
    bool protectionActive = false;
    std::map<int, double> targets;       // rpm last written by the lease, by fan id
    bool cooling = false;                // the one-shot cooling run is going
    bool available = true;               // the helper can be started at all
    std::optional<std::string> failure;  // the last failure, as the helper said it
    // Set when the fans as read contradict the helper side (a fan left manual with no lease
    // running): the warning to show beside the "back to automatic" action.
    std::optional<std::string> alert;

    bool operator==(const ControlView&) const = default;
};

// Whether the SMC answers, as the sampling loop last saw it.
struct DeviceStatus {
    bool answering = false;                   // the latest sample read something from the SMC
    bool everAnswered = false;                // some sample since start did
    std::optional<pyrelle::Date> lastAnswer;  // date of the latest sample that read something
    // While it does not answer: since when (its last answer, or the first sample when it
    // never answered).
    std::optional<pyrelle::Date> silentSince;

    // The SMC answered before and has stopped: the pages say so and fan actions wait.
    bool outage() const { return everAnswered && !answering; }
    bool operator==(const DeviceStatus&) const = default;
};

// A figure the diagnostics count as missing when absent.
enum class DiagnosticFigure {
    cpuTemperature,
    cpuUsage,
    speedLimit,
    schedulerLimit,
    memoryPressure,
    availableCPUs,
    processFigures,
    sleepBlockers,
};

struct AppView {
    std::optional<pyrelle::Snapshot> latest;  // absent before the first sample
    pyrelle::DiagnosticReport report;
    std::vector<pyrelle::SustainedActivity> activity;
    double activitySeconds = 0;
    std::vector<pyrelle::ProcessReading> topCPU, topMemory, topDisk;
    std::vector<pyrelle::CommonSensorReading> common;
    pyrelle::SystemTelemetry telemetry;
    ControlView control;
    DeviceStatus device;
    // The figures the latest evaluation lacked that this platform can provide; a report that
    // lacked only figures the platform never has is decided as for complete data.
    std::vector<DiagnosticFigure> missing;
    std::int64_t samples = 0;
};

struct AppHistory {
    std::vector<pyrelle::MetricPoint> cpuTemperature, gpuTemperature, cpuUsage, power;
    std::map<int, std::vector<pyrelle::MetricPoint>> fans;  // by fan id
    std::vector<pyrelle::ModeRecord> modes;
    std::optional<pyrelle::Date> end;                                 // date of the last sample
    std::map<std::string, std::vector<pyrelle::MetricPoint>> common;  // last 5 min, by reading id
    // Filled on request (the history page): mode-labelled temperature rows per sensor
    // category, thinned for drawing, and the turbo history's size.
    std::map<pyrelle::SensorCategory, std::vector<pyrelle::ModeRecord>> sensorTimeline;
    std::size_t turboPoints = 0;
    std::size_t turboTransitions = 0;
};

}  // namespace kilnview
