#pragma once

#include <span>
#include <vector>

#include "pyrelle/RecordedTurboMode.hpp"
#include "pyrelle/Snapshot.hpp"
#include "pyrelle/TemperaturePoint.hpp"
#include "pyrelle/TurboTransition.hpp"

namespace pyrelle {

// Turbo on/off comparison over recorded snapshots: temperature points per unbroken stretch of
// one mode, the moments the mode changed, and per-mode summaries.
namespace TurboHistory {

// One point per snapshot with a known turbo mode, a finite CPU temperature and a finite date.
// A stretch breaks when the mode changes, time does not advance, or it advances by more than
// `maximumGap` seconds; an unusable snapshot also breaks it.
std::vector<TemperaturePoint> points(std::span<const Snapshot> snapshots, double maximumGap);

// Mode changes between consecutive snapshots of known mode; a change across a snapshot of
// unknown turbo state (or non-finite date) is not reported.
std::vector<TurboTransition> transitions(std::span<const Snapshot> snapshots);

// Count, mean and peak temperature and mean load (over the finite loads present) of `mode`.
TemperatureSummary summary(std::span<const TemperaturePoint> points, RecordedTurboMode mode);

}  // namespace TurboHistory

}  // namespace pyrelle
