#include "pyrelle/MetricPlot.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Decimation.hpp"

namespace pyrelle::MetricPlot {

std::vector<MetricPoint> decimated(std::span<const MetricPoint> points, int budget) {
    const auto hasValue = [](const MetricPoint& p) { return p.value.has_value(); };
    const std::size_t valued =
        static_cast<std::size_t>(std::count_if(points.begin(), points.end(), hasValue));

    // Only copy the input for filtering when some point actually lacks a value.
    std::vector<MetricPoint> filtered;
    std::span<const MetricPoint> input = points;
    if (valued != points.size()) {
        filtered.reserve(valued);
        std::copy_if(points.begin(), points.end(), std::back_inserter(filtered), hasValue);
        input = filtered;
    }
    if (budget <= 3 || input.size() <= static_cast<std::size_t>(budget)) {
        if (!filtered.empty() || input.empty()) return filtered;
        return {input.begin(), input.end()};
    }

    std::vector<MetricPoint> result;
    detail::decimateInto(
        input, budget, [](const MetricPoint& p) { return *p.value; },
        [](const MetricPoint& p) { return p.segment; }, result);
    return result;
}

std::optional<MetricPoint> nearest(std::span<const MetricPoint> points, Date to,
                                   double maximumDistance) {
    if (!to.isFinite() || !std::isfinite(maximumDistance) || maximumDistance < 0)
        return std::nullopt;
    const MetricPoint* best = nullptr;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const MetricPoint& p : points) {
        if (!p.value) continue;
        const double distance = std::fabs(p.date.secondsSince(to));
        if (distance < bestDistance) {  // strict: the first point wins a tie
            bestDistance = distance;
            best = &p;
        }
    }
    if (best == nullptr || !(bestDistance <= maximumDistance)) return std::nullopt;
    return *best;
}

ClosedRange scale(std::span<const double> values, bool automatic, double baseline, double upper) {
    bool any = false;
    double lo = 0, hi = 0;
    for (double v : values) {
        if (!std::isfinite(v) || v < 0) continue;
        if (!any) {
            lo = hi = v;
            any = true;
        } else {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }

    if (automatic && any) {
        const double span = hi - lo;
        const bool large = upper > 150;  // fan speeds and other large quantities
        const double minimumHalf = large ? 250 : 5;
        const double referenceSpan = std::max(span, large ? 500.0 : 10.0);
        const double margin = referenceSpan * 0.12;
        const double middle = (lo + hi) / 2;
        const double half = std::max(minimumHalf, span / 2 + margin);
        return {std::max(0.0, std::floor(middle - half)), std::ceil(middle + half)};
    }

    if (!any) {
        lo = baseline;
        hi = upper;
    }
    ClosedRange range{std::min(lo, baseline), std::max(hi, upper)};
    // Only a caller passing baseline > upper without data gets here reversed: order the bounds
    // instead of handing a chart an inverted axis.
    if (range.lower > range.upper) std::swap(range.lower, range.upper);
    return range;
}

}  // namespace pyrelle::MetricPlot
