#pragma once

#include <optional>
#include <vector>

#include "pyrelle/ChartRect.hpp"
#include "pyrelle/ClosedRange.hpp"

namespace pyrelle {

// Maps data values to positions inside a chart's drawing rectangle and back, and picks tidy
// axis ticks. The bottom edge shows yRange.lower and the left edge xRange.lower.
struct ChartCoordinates {
    // A pair of data values read back from a position.
    struct DataValue {
        double x = 0;
        double y = 0;
        friend constexpr bool operator==(const DataValue&, const DataValue&) = default;
    };

    ChartRect frame;
    ClosedRange xRange;
    ClosedRange yRange;

    // Data values to a view position. Values outside the ranges land outside the rectangle;
    // an empty or reversed range never divides by zero.
    ChartPoint position(double x, double y) const;

    // A view position back to data values; nothing for a non-finite point or an empty
    // rectangle, and, unless `clamped`, for a point outside the rectangle.
    std::optional<DataValue> value(ChartPoint at, bool clamped) const;

    // Tidy tick values (steps of 1, 2, 2.5 or 5 times a power of ten) between the bounds of
    // `in`, aiming at `intervals` (clamped to 2...8) intervals. Never more than 21 ticks; falls
    // back to the bounds themselves when no tidy step fits.
    static std::vector<double> ticks(ClosedRange in, int intervals);

    friend bool operator==(const ChartCoordinates&, const ChartCoordinates&) = default;
};

}  // namespace pyrelle
