#include "pyrelle/widget/WidgetMetric.hpp"

namespace pyrelle {

std::string_view toText(WidgetMetric metric) {
    switch (metric) {
        case WidgetMetric::cpuTemperature: return "cpuTemperature";
        case WidgetMetric::gpuTemperature: return "gpuTemperature";
        case WidgetMetric::storageTemperature: return "storageTemperature";
        case WidgetMetric::cpuUsage: return "cpuUsage";
        case WidgetMetric::fan: return "fan";
    }
    return "cpuTemperature";
}

std::optional<WidgetMetric> parseWidgetMetric(std::string_view text) {
    for (WidgetMetric metric : allWidgetMetrics) {
        if (toText(metric) == text) return metric;
    }
    return std::nullopt;
}

}  // namespace pyrelle
