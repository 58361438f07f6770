// Fuzz target for the widget's status file: decoding arbitrary bytes never crashes, and a
// decoded snapshot is clean: it re-encodes, decodes to itself and draws its trends.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pyrelle/widget/WidgetSnapshot.hpp"
#include "pyrelle/widget/WidgetTrend.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pyrelle;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    WidgetSnapshot snapshot;
    try {
        snapshot = WidgetSnapshot::decode(bytes);
    } catch (const std::exception&) {
        return 0;  // refusing is fine; crashing is not
    }
    if (snapshot.schema != 1 || !std::isfinite(snapshot.date) || snapshot.fans.size() > 8 ||
        snapshot.trends.size() != 5) {
        std::abort();
    }
    for (const auto& [key, points] : snapshot.trends) {
        if (points.size() > WidgetSnapshot::maximumTrendPoints) std::abort();
        WidgetTrend trend{points, snapshot.date, 100};
        trend.paths({120, 30});
    }
    for (WidgetMetric metric : allWidgetMetrics) snapshot.value(metric);
    snapshot.freshness(snapshot.date + 60);
    // Cleaning is idempotent: what was decoded re-encodes and decodes to the same snapshot.
    std::string encoded = snapshot.encode();
    if (encoded.size() <= WidgetSnapshot::maximumFileSize &&
        !(WidgetSnapshot::decode(encoded) == snapshot)) {
        std::abort();
    }
    return 0;
}
