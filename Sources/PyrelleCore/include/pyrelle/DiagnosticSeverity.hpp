#pragma once

#include <cstdint>
#include <optional>

namespace pyrelle {

// How serious a diagnostic finding is; warning and critical findings ask for the user's
// attention, information findings do not.
enum class DiagnosticSeverity : int { information = 0, warning = 1, critical = 2 };

constexpr int value(DiagnosticSeverity severity) {
    return static_cast<int>(severity);
}
// Accepts exactly 0, 1 and 2.
std::optional<DiagnosticSeverity> diagnosticSeverityFromValue(int64_t value);

}  // namespace pyrelle
