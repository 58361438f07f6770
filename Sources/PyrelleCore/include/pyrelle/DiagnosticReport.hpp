#pragma once

#include <optional>
#include <vector>

#include "pyrelle/Date.hpp"
#include "pyrelle/DiagnosticFinding.hpp"
#include "pyrelle/DiagnosticMetrics.hpp"
#include "pyrelle/DiagnosticState.hpp"

namespace pyrelle {

// The diagnostic engine's answer for one snapshot: a headline state, every finding in display
// order, and the cleaned-up metrics behind them.
struct DiagnosticReport {
    DiagnosticState state = DiagnosticState::sampling;
    std::vector<DiagnosticFinding> findings;  // sorted: severity, kind priority, id
    int attentionCount = 0;                   // findings of severity warning or critical
    double observedSeconds = 0;               // continuous observation behind this report
    std::optional<Date> date;                 // the evaluated snapshot's date
    std::optional<DiagnosticMetrics> metrics;

    bool operator==(const DiagnosticReport&) const = default;
};

}  // namespace pyrelle
