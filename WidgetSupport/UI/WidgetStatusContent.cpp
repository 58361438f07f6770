#include "pyrelle/widget/WidgetStatusContent.hpp"

#include <algorithm>
#include <cstdio>

namespace pyrelle {
namespace {

std::string noDecimals(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
    return buffer;
}

}  // namespace

std::string_view WidgetStatusContent::title(WidgetMetric metric) {
    switch (metric) {
        case WidgetMetric::cpuTemperature: return "CPU 温度";
        case WidgetMetric::cpuUsage: return "CPU 使用率";
        case WidgetMetric::fan: return "风扇转速";
        case WidgetMetric::gpuTemperature:
        case WidgetMetric::storageTemperature: break;
    }
    return "";
}

std::string_view WidgetStatusContent::unit(WidgetMetric metric) {
    switch (metric) {
        case WidgetMetric::cpuTemperature:
        case WidgetMetric::gpuTemperature:
        case WidgetMetric::storageTemperature: return "°";
        case WidgetMetric::cpuUsage: return "%";
        case WidgetMetric::fan: return "";
    }
    return "";
}

std::string WidgetStatusContent::number(WidgetMetric metric) const {
    if (!showsValues()) return std::string(Texts::missing);
    std::optional<double> value = snapshot->value(metric);
    return value ? noDecimals(*value) : std::string(Texts::missing);
}

std::string WidgetStatusContent::temperature(std::optional<double> value) {
    return (value ? noDecimals(*value) : std::string(Texts::missing)) + "°C";
}

std::string WidgetStatusContent::fanText(const WidgetFan& fan) const {
    std::string_view state =
        !fan.manual ? Texts::unknown : (*fan.manual ? Texts::manual : Texts::automatic);
    std::string separator = text(Texts::separator);
    return text(Texts::fan) + " " + std::to_string(fan.id + 1) + separator +
           (fan.rpm ? noDecimals(*fan.rpm) : std::string(Texts::missing)) + separator + text(state);
}

const WidgetStrings& WidgetStatusContent::table() const {
    return strings ? *strings : WidgetStrings::shared();
}

std::string WidgetStatusContent::language() const {
    return snapshot ? snapshot->language : std::string("system");
}

std::string WidgetStatusContent::text(std::string_view key) const {
    return table().translate(key, language());
}

WidgetFreshness WidgetStatusContent::freshness() const {
    return snapshot ? snapshot->freshness(date) : WidgetFreshness::unavailable;
}

bool WidgetStatusContent::showsValues() const {
    return snapshot && freshness() != WidgetFreshness::unavailable;
}

std::string WidgetStatusContent::statusLabel() const {
    switch (freshness()) {
        case WidgetFreshness::recent:
        case WidgetFreshness::previous: return text(Texts::recent);
        case WidgetFreshness::paused: return text(Texts::paused);
        case WidgetFreshness::unavailable: break;
    }
    return text(Texts::waiting);
}

std::string WidgetStatusContent::footerLabel() const {
    return size == WidgetCardSize::small ? statusLabel() : text(Texts::sampled);
}

std::string WidgetStatusContent::modeText() const {
    if (!showsValues()) return text(Texts::openApp);
    // An empty label would leave a blank line; the dash says "nothing reported".
    return snapshot->mode.empty() ? std::string(Texts::missing) : text(snapshot->mode);
}

std::string WidgetStatusContent::turboText() const {
    if (!showsValues() || snapshot->turbo.empty()) return std::string(Texts::missing);
    return text(snapshot->turbo);
}

WidgetTrend WidgetStatusContent::trend(WidgetMetric metric) const {
    WidgetTrend trend;
    trend.end = snapshot ? snapshot->date : date;
    if (snapshot) {
        auto found = snapshot->trends.find(std::string(toText(metric)));
        if (found != snapshot->trends.end()) trend.points = found->second;
    }
    switch (metric) {
        case WidgetMetric::cpuTemperature:
        case WidgetMetric::gpuTemperature:
        case WidgetMetric::storageTemperature: trend.upper = 130; break;
        case WidgetMetric::cpuUsage: trend.upper = 100; break;
        case WidgetMetric::fan: {
            double current = showsValues() ? snapshot->value(WidgetMetric::fan).value_or(0) : 0;
            trend.upper = std::max(6000.0, current);
            break;
        }
    }
    return trend;
}

}  // namespace pyrelle
