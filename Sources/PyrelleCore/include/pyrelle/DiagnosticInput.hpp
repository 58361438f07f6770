#pragma once

#include <optional>
#include <vector>

#include "pyrelle/Date.hpp"
#include "pyrelle/DiagnosticSource.hpp"
#include "pyrelle/Snapshot.hpp"

namespace pyrelle {

// Everything one diagnostic evaluation sees: the snapshot to explain and what the desktop
// application knows about processes, sleep blockers and the battery.
struct DiagnosticInput {
    Snapshot snapshot;
    std::vector<DiagnosticSource> sources;  // current activity rows, in the caller's order
    double processSeconds = 0;              // how long process sampling has been running
    std::optional<Date> processDate;        // when the process figures were last sampled
    std::optional<int> blockers;            // active sleep blockers; absent when unknown
    std::optional<double> batteryPercent;   // absent without a battery or when unknown
    bool supportsLowPowerMode = false;

    bool operator==(const DiagnosticInput&) const = default;
};

}  // namespace pyrelle
