#pragma once
// Inputs for diagnostic tests: a calm, complete reading of an eight-core machine that each test
// bends in one place, and a driver that feeds one-second samples to an engine.

#include <functional>
#include <string>
#include <vector>

#include "pyrelle/DiagnosticEngine.hpp"

namespace pyrelle::testing {

// Nothing wrong and nothing missing: every rule stays silent and, after 45 s, the state is
// `stable`.
inline DiagnosticInput calmInput(double seconds = 0) {
    DiagnosticInput input;
    Snapshot& s = input.snapshot;
    s.date = Date(800000000 + seconds);
    s.cpuUsage = 20;
    s.sensors = {SensorReading{"TC0P", "CPU Proximity", 52}, SensorReading{"TG0P", "GPU", 47}};
    s.speedLimit = 100;
    s.schedulerLimit = 100;
    s.availableCPUs = 8;
    s.totalCPUs = 8;
    s.thermalState = 0;
    s.acPower = true;
    s.smcAvailable = true;
    s.memoryPressure = MemoryPressure::normal;
    input.processSeconds = 60;
    input.processDate = s.date;
    input.blockers = 0;
    input.batteryPercent = 80;
    input.supportsLowPowerMode = true;
    return input;
}

inline void setTemperature(DiagnosticInput& input, const std::string& key, double celsius) {
    for (SensorReading& sensor : input.snapshot.sensors)
        if (sensor.key == key) sensor.celsius = celsius;
}

// Feeds samples at whole seconds first...last, each bent by `adjust`; returns the last report.
inline DiagnosticReport feed(DiagnosticEngine& engine, int first, int last,
                             const std::function<void(DiagnosticInput&)>& adjust = {}) {
    DiagnosticReport report;
    for (int t = first; t <= last; ++t) {
        DiagnosticInput input = calmInput(t);
        if (adjust) adjust(input);
        report = engine.evaluate(input);
    }
    return report;
}

// An engine fed calm one-second samples up to time -1, so that evaluating a sample at time 0
// gives `seconds` of continuous observation.
inline DiagnosticEngine settledEngine(int seconds = 60) {
    DiagnosticEngine engine;
    feed(engine, -seconds, -1);
    return engine;
}

inline std::vector<std::string> ids(const DiagnosticReport& report) {
    std::vector<std::string> result;
    for (const DiagnosticFinding& f : report.findings) result.push_back(f.id);
    return result;
}

inline const DiagnosticFinding* findingWithID(const DiagnosticReport& report,
                                              const std::string& id) {
    for (const DiagnosticFinding& f : report.findings)
        if (f.id == id) return &f;
    return nullptr;
}

}  // namespace pyrelle::testing
