#pragma once

#include <optional>
#include <span>
#include <vector>

#include "pyrelle/ClosedRange.hpp"
#include "pyrelle/Date.hpp"
#include "pyrelle/MetricPoint.hpp"

namespace pyrelle {

// Pure chart helpers over metric series.
namespace MetricPlot {

// Reduces a series to about `budget` points for drawing: points without a value are dropped;
// every segment keeps its first and last point, and each chunk of its interior keeps its
// lowest and highest point. A budget of 3 or less, or a series that already fits, is returned
// (without the valueless points) as it is.
std::vector<MetricPoint> decimated(std::span<const MetricPoint> points, int budget);

// The valued point closest in time to `to` (the first on ties), when it lies within
// `maximumDistance` seconds. Nothing for a non-finite date or a negative or non-finite distance.
std::optional<MetricPoint> nearest(std::span<const MetricPoint> points, Date to,
                                   double maximumDistance);

// A readable vertical range for `values` (non-negative finite ones count). With `automatic`,
// the range hugs the data with a margin and a minimum height; otherwise it spans the data and
// baseline...upper. Never reversed.
ClosedRange scale(std::span<const double> values, bool automatic, double baseline, double upper);

}  // namespace MetricPlot

}  // namespace pyrelle
