#pragma once
// WidgetMetric: the figures the widget can show and link to. The case order is the order
// of the status file's trend keys and of the large card's rows.
#include <array>
#include <optional>
#include <string_view>

namespace pyrelle {

enum class WidgetMetric { cpuTemperature, gpuTemperature, storageTemperature, cpuUsage, fan };

// Every metric in case order.
inline constexpr std::array<WidgetMetric, 5> allWidgetMetrics{
    WidgetMetric::cpuTemperature, WidgetMetric::gpuTemperature, WidgetMetric::storageTemperature,
    WidgetMetric::cpuUsage, WidgetMetric::fan};

// The metric's text value, used as JSON key and in link addresses.
std::string_view toText(WidgetMetric metric);

// The metric named exactly by `text`, if any.
std::optional<WidgetMetric> parseWidgetMetric(std::string_view text);

}  // namespace pyrelle
