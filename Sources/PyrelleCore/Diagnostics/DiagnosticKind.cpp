#include "pyrelle/DiagnosticKind.hpp"

#include "pyrelle/DiagnosticSeverity.hpp"

namespace pyrelle {

int priority(DiagnosticKind kind) {
    switch (kind) {
        case DiagnosticKind::thermalPressure:
        case DiagnosticKind::thermalLimit: return 0;
        case DiagnosticKind::memoryPressure: return 1;
        case DiagnosticKind::performanceLimit: return 2;
        case DiagnosticKind::sustainedCPU: return 3;
        case DiagnosticKind::temperature:
        case DiagnosticKind::temperatureObservation: return 4;
        case DiagnosticKind::batteryPolicy: return 5;
        case DiagnosticKind::diskActivity: return 6;
        case DiagnosticKind::wakeRequests: return 7;
        case DiagnosticKind::unavailable: return 8;
    }
    return 8;
}

std::optional<DiagnosticSeverity> diagnosticSeverityFromValue(int64_t value) {
    switch (value) {
        case 0: return DiagnosticSeverity::information;
        case 1: return DiagnosticSeverity::warning;
        case 2: return DiagnosticSeverity::critical;
        default: return std::nullopt;
    }
}

}  // namespace pyrelle
