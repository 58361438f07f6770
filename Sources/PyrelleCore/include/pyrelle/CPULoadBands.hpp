#pragma once

#include <optional>
#include <span>
#include <vector>

#include "pyrelle/CPULoadLevel.hpp"
#include "pyrelle/Date.hpp"
#include "pyrelle/MetricPoint.hpp"

namespace pyrelle {

// One CPU-usage point with its load band.
struct CPULoadSample {
    MetricPoint point;
    CPULoadLevel level = CPULoadLevel::unknown;

    friend bool operator==(const CPULoadSample&, const CPULoadSample&) = default;
};

// One drawable stretch of a single band (never unknown); `id` is its position in the result.
struct CPULoadRun {
    int id = 0;
    CPULoadLevel level = CPULoadLevel::normal;
    std::vector<MetricPoint> points;

    friend bool operator==(const CPULoadRun&, const CPULoadRun&) = default;
};

// Sorts CPU usage (percent, 0...100) into load bands. Critical is never given for one high
// sample: the load must stay at or above 90 % over 10 s of continuous samples.
namespace CPULoadBands {

inline constexpr double elevatedThreshold = 70.0;
inline constexpr double criticalThreshold = 90.0;
inline constexpr double sustainedSeconds = 10.0;

// The band of a single value without history (never critical).
CPULoadLevel baseLevel(std::optional<double> value);

// One classified sample per point, in the same order.
std::vector<CPULoadSample> samples(std::span<const MetricPoint> points);

// The band to show for the live value: the last point's band when it carries exactly this
// value and is at most 15 s old at `at`, otherwise the value's base band.
CPULoadLevel current(std::optional<double> value, std::span<const MetricPoint> points, Date at);

// Continuous stretches of one band, each thinned with MetricPlot::decimated to an equal share
// of `budget` (at least 4). Where the band changes, the earlier run also takes the first point
// of the next so the drawn lines meet.
std::vector<CPULoadRun> runs(std::span<const MetricPoint> points, int budget);
std::vector<CPULoadRun> runs(std::span<const CPULoadSample> samples, int budget);

}  // namespace CPULoadBands

}  // namespace pyrelle
