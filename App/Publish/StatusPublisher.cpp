#include "Publish/StatusPublisher.hpp"

#include <cmath>
#include <cstdio>
#include <system_error>

#include "pyrelle/widget/WidgetDataError.hpp"
#include "pyrelle/widget/WidgetMetric.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"

namespace kilnview {

using namespace pyrelle;

namespace {

// The widget draws five minutes of trend.
constexpr double kTrendSeconds = 300;

std::vector<WidgetPoint> trend(const std::vector<MetricPoint>& points, std::optional<Date> end) {
    std::vector<WidgetPoint> result;
    for (const MetricPoint& point : points) {
        if (end && end->secondsSince(point.date) > kTrendSeconds) continue;
        result.emplace_back(point.date.secondsSinceReferenceDate(), point.value, point.segment);
    }
    return result;
}

// The fastest fan at each sample, which is what the widget's fan figure shows.
std::vector<MetricPoint> fastestFan(const AppHistory& history) {
    std::vector<MetricPoint> fastest;
    for (const auto& [id, points] : history.fans) {
        if (fastest.empty()) {
            fastest = points;
            continue;
        }
        // Fan histories are appended together, so equal dates line up from the end.
        for (std::size_t i = 1; i <= std::min(points.size(), fastest.size()); ++i) {
            MetricPoint& into = fastest[fastest.size() - i];
            const MetricPoint& from = points[points.size() - i];
            if (into.date != from.date) break;
            if (from.value && (!into.value || *from.value > *into.value)) into.value = from.value;
        }
    }
    return fastest;
}

std::string rounded(std::optional<double> value, double step) {
    if (!value || !std::isfinite(*value)) return "-";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.0f", std::round(*value / step) * step);
    return buffer;
}

}  // namespace

WidgetSnapshot StatusPublisher::build(const AppView& view, const AppHistory& history,
                                      const std::string& language) {
    const Snapshot& last = *view.latest;
    std::optional<double> fastest;
    std::vector<WidgetFan> fans;
    for (const FanReading& fan : last.fans) {
        fans.emplace_back(fan.id, fan.rpm, fan.maximum, fan.manual);
        if (fan.rpm && (!fastest || *fan.rpm > *fastest)) fastest = fan.rpm;
    }
    WidgetSnapshot::Trends trends;
    trends[std::string(toText(WidgetMetric::cpuTemperature))] =
        trend(history.cpuTemperature, history.end);
    trends[std::string(toText(WidgetMetric::gpuTemperature))] =
        trend(history.gpuTemperature, history.end);
    trends[std::string(toText(WidgetMetric::storageTemperature))] = {};
    trends[std::string(toText(WidgetMetric::cpuUsage))] = trend(history.cpuUsage, history.end);
    trends[std::string(toText(WidgetMetric::fan))] = trend(fastestFan(history), history.end);
    return WidgetSnapshot(last.date.secondsSinceReferenceDate(), last.cpuTemperature(),
                          last.temperature(SensorCategory::gpu),
                          last.temperature(SensorCategory::storage), last.cpuUsage, std::move(fans),
                          view.control.mode, std::string(title(last.turbo)), language, true,
                          std::move(trends));
}

std::string StatusPublisher::signature(const WidgetSnapshot& snapshot) {
    // The figures as the cards round them; the trends move every sample and are refreshed by
    // the once-a-minute rewrite instead.
    std::string state =
        rounded(snapshot.cpuTemperature, 1) + "|" + rounded(snapshot.gpuTemperature, 1) + "|" +
        rounded(snapshot.storageTemperature, 1) + "|" + rounded(snapshot.cpuUsage, 1) + "|" +
        snapshot.mode + "|" + snapshot.turbo + "|" + snapshot.language;
    for (const WidgetFan& fan : snapshot.fans) {
        state += "|" + std::to_string(fan.id) + ":" + rounded(fan.rpm, 10) + ":" +
                 (fan.manual ? (*fan.manual ? "m" : "a") : "-");
    }
    return state;
}

bool StatusPublisher::publish(const AppView& view, const std::function<AppHistory()>& history,
                              const std::string& language) {
    if (!view.latest) return false;
    // The signature leaves the trends out, so the cheap snapshot without them decides.
    const WidgetSnapshot figures = build(view, AppHistory{}, language);
    const WidgetPublishDecision decision = schedule_.receive(figures.date, signature(figures));
    if (!decision.write) return false;
    const WidgetSnapshot snapshot = build(view, history(), language);
    // There is no widget host to reload on this platform: the widget reads the file when it
    // renders, so a reload decision needs nothing beyond the write.
    try {
        WidgetStorage::write(snapshot, file_);
        failure_.reset();
        return true;
    } catch (const WidgetDataError&) {
        failure_ = "widget status file: no usable location, or the state cannot be encoded";
    } catch (const std::system_error& error) {
        failure_ = "widget status file: " + error.code().message();
    }
    return false;
}

}  // namespace kilnview
