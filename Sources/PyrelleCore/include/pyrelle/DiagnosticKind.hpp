#pragma once

namespace pyrelle {

// What a diagnostic finding is about. Each kind has a fixed priority that orders findings of
// equal severity (smaller first).
enum class DiagnosticKind {
    thermalPressure,
    thermalLimit,
    performanceLimit,
    temperature,
    temperatureObservation,
    sustainedCPU,
    memoryPressure,
    diskActivity,
    wakeRequests,
    batteryPolicy,
    unavailable,
};

// 0 for the thermal kinds, then memory pressure 1, performance limit 2, sustained CPU 3,
// temperatures 4, battery policy 5, disk activity 6, wake requests 7, unavailable 8.
int priority(DiagnosticKind kind);

}  // namespace pyrelle
