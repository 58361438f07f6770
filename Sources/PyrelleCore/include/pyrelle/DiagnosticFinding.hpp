#pragma once

#include <optional>
#include <string>

#include "pyrelle/DiagnosticAction.hpp"
#include "pyrelle/DiagnosticConfidence.hpp"
#include "pyrelle/DiagnosticKind.hpp"
#include "pyrelle/DiagnosticSeverity.hpp"

namespace pyrelle {

// One explained observation of a diagnostic report, identified by `id` (a rule identifier
// such as "memory-pressure", or "cpu:" / "disk:" followed by a source id).
struct DiagnosticFinding {
    std::string id;
    DiagnosticKind kind = DiagnosticKind::unavailable;
    DiagnosticSeverity severity = DiagnosticSeverity::information;
    DiagnosticConfidence confidence = DiagnosticConfidence::unavailable;
    std::optional<std::string> subject;  // "CPU", "GPU" or a source name
    std::optional<double> value;         // the figure that triggered the rule, in its unit
    std::optional<double> seconds;       // how long the condition has been observed
    DiagnosticAction action = DiagnosticAction::refresh();

    bool operator==(const DiagnosticFinding&) const = default;
};

}  // namespace pyrelle
