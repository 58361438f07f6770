#pragma once

namespace pyrelle {

// A closed interval of doubles [lower, upper], the axis range of a chart. It is a plain pair:
// callers keep lower <= upper, and the code that divides by its width guards against the rest.
struct ClosedRange {
    double lower = 0;
    double upper = 0;

    constexpr double span() const { return upper - lower; }
    constexpr bool contains(double v) const { return lower <= v && v <= upper; }

    friend constexpr bool operator==(const ClosedRange&, const ClosedRange&) = default;
};

}  // namespace pyrelle
