#include "pyrelle/ChartCoordinates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pyrelle {

namespace {

double guardedSpan(const ClosedRange& r) {
    const double span = r.upper - r.lower;
    constexpr double smallest = std::numeric_limits<double>::denorm_min();
    // Written so that a NaN span also falls back to the smallest positive value.
    return span >= smallest ? span : smallest;
}

}  // namespace

ChartPoint ChartCoordinates::position(double x, double y) const {
    const double width = frame.standardWidth();
    const double height = frame.standardHeight();
    return ChartPoint{
        frame.minX() + (x - xRange.lower) / guardedSpan(xRange) * width,
        frame.maxY() - height * (y - yRange.lower) / guardedSpan(yRange),
    };
}

std::optional<ChartCoordinates::DataValue> ChartCoordinates::value(ChartPoint at,
                                                                   bool clamped) const {
    if (!std::isfinite(at.x) || !std::isfinite(at.y)) return std::nullopt;
    const double width = frame.standardWidth();
    const double height = frame.standardHeight();
    // A rectangle with a non-finite size cannot be inverted either.
    if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height))
        return std::nullopt;
    if (!clamped && !frame.contains(at)) return std::nullopt;

    const double minX = frame.minX(), maxX = frame.maxX();
    const double minY = frame.minY(), maxY = frame.maxY();
    const double px = std::clamp(at.x, minX, maxX);
    const double py = std::clamp(at.y, minY, maxY);
    return DataValue{
        xRange.lower + (px - minX) / width * (xRange.upper - xRange.lower),
        yRange.lower + (maxY - py) / height * (yRange.upper - yRange.lower),
    };
}

std::vector<double> ChartCoordinates::ticks(ClosedRange in, int intervals) {
    const double lower = in.lower;
    const double upper = in.upper;
    if (!std::isfinite(lower)) return {};
    const double span = upper - lower;
    if (!std::isfinite(upper) || !(span > 0) || !std::isfinite(span)) return {lower};

    const double raw = span / static_cast<double>(std::clamp(intervals, 2, 8));
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    if (!(magnitude > 0) || !std::isfinite(magnitude)) return {lower, upper};

    const double normalised = raw / magnitude;
    static constexpr double factors[] = {1, 2, 2.5, 5, 10};
    double factor = factors[0];
    double bestDistance = std::fabs(normalised - factor);
    for (double candidate : factors) {
        const double distance = std::fabs(normalised - candidate);
        if (distance < bestDistance) {  // strict: on a tie the smaller factor stays
            bestDistance = distance;
            factor = candidate;
        }
    }
    const double step = magnitude * factor;

    constexpr double tolerance = 0.000000001;
    const double first = std::ceil(lower / step - tolerance);
    const double last = std::floor(upper / step + tolerance);
    if (!std::isfinite(first) || !std::isfinite(last) || !(first <= last) || last - first > 20)
        return {lower, upper};

    const int count = static_cast<int>(last - first) + 1;
    std::vector<double> result;
    result.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double tick = step * (first + i);
        result.push_back(std::fabs(tick) < step * tolerance ? 0.0 : tick);
    }
    return result;
}

}  // namespace pyrelle
