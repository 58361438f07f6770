#pragma once

// Shared peak-keeping reduction behind MetricPlot::decimated and SensorTimeline::decimated.

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

namespace pyrelle::detail {

// Appends to `out` the reduction of `items` (every item valued) to about `budget` items:
// per run of equal segment its first and last item, and per chunk of b = max(2, 2n / budget)
// interior items the lowest and the highest (the first on ties), once when they coincide,
// otherwise in input order. Callers handle budgets below 4 and inputs that already fit.
template <class T, class ValueOf, class SegmentOf>
void decimateInto(std::span<const T> items, int budget, ValueOf valueOf, SegmentOf segmentOf,
                  std::vector<T>& out) {
    const std::size_t count = items.size();
    const std::size_t bucket =
        std::max<std::size_t>(2, 2 * count / static_cast<std::size_t>(budget));
    out.reserve(out.size() + std::min(count, 2 * (count / bucket) + 8));

    std::size_t start = 0;
    while (start < count) {
        std::size_t end = start;
        const auto segment = segmentOf(items[start]);
        while (end + 1 < count && segmentOf(items[end + 1]) == segment) ++end;

        out.push_back(items[start]);
        for (std::size_t chunk = start + 1; chunk < end; chunk += bucket) {
            const std::size_t chunkEnd = std::min(chunk + bucket, end);
            std::size_t low = chunk, high = chunk;
            double lowValue = valueOf(items[chunk]), highValue = lowValue;
            for (std::size_t i = chunk + 1; i < chunkEnd; ++i) {
                const double v = valueOf(items[i]);
                if (v < lowValue) {
                    lowValue = v;
                    low = i;
                }
                if (v > highValue) {
                    highValue = v;
                    high = i;
                }
            }
            if (low == high) {
                out.push_back(items[low]);
            } else {
                out.push_back(items[std::min(low, high)]);
                out.push_back(items[std::max(low, high)]);
            }
        }
        if (end > start) out.push_back(items[end]);
        start = end + 1;
    }
}

}  // namespace pyrelle::detail
