#include "pyrelle/widget/WidgetSnapshot.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include <nlohmann/json.hpp>

#include "JSONFields.hpp"
#include "pyrelle/widget/WidgetDataError.hpp"
#include "pyrelle/widget/WidgetText.hpp"

namespace pyrelle {
namespace {

std::optional<double> within(std::optional<double> value, double low, double high) {
    if (value && std::isfinite(*value) && *value >= low && *value <= high) return value;
    return std::nullopt;
}

// A text of the file as the cards may show it: no bidi controls, at most `characters` long.
std::string label(std::string_view text, std::size_t characters) {
    return WidgetText::prefix(WidgetText::withoutBidiControls(text), characters);
}

std::vector<WidgetFan> cleanFans(std::vector<WidgetFan> fans) {
    std::vector<WidgetFan> kept;
    std::set<std::int64_t> seen;
    std::size_t examined = std::min(fans.size(), WidgetSnapshot::fansExamined);
    for (std::size_t i = 0; i < examined && kept.size() < WidgetSnapshot::maximumFans; ++i) {
        WidgetFan& fan = fans[i];
        if (fan.id < 0 || fan.id > WidgetSnapshot::maximumFanID) continue;
        if (!seen.insert(fan.id).second) continue;  // the first fan with an id wins
        kept.push_back(std::move(fan));
    }
    return kept;
}

WidgetSnapshot::Trends cleanTrends(WidgetSnapshot::Trends trends, double date) {
    WidgetSnapshot::Trends cleaned;
    for (WidgetMetric metric : allWidgetMetrics) {
        std::vector<WidgetPoint> points;
        auto found = trends.find(std::string(toText(metric)));
        if (found != trends.end()) {
            for (WidgetPoint& point : found->second) {
                if (std::isfinite(point.date) && point.date >= date - WidgetSnapshot::trendWindow &&
                    point.date <= date) {
                    points.push_back(std::move(point));
                }
            }
        }
        std::stable_sort(
            points.begin(), points.end(),
            [](const WidgetPoint& a, const WidgetPoint& b) { return a.date < b.date; });
        if (points.size() > WidgetSnapshot::maximumTrendPoints) {
            points.erase(points.begin(), points.end() - static_cast<std::ptrdiff_t>(
                                                            WidgetSnapshot::maximumTrendPoints));
        }
        cleaned.emplace(std::string(toText(metric)), std::move(points));
    }
    return cleaned;
}

}  // namespace

WidgetSnapshot::WidgetSnapshot()
    : WidgetSnapshot(0, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}, "", "", "",
                     false, {}) {}

WidgetSnapshot::WidgetSnapshot(double date, std::optional<double> cpuTemperature,
                               std::optional<double> gpuTemperature,
                               std::optional<double> storageTemperature,
                               std::optional<double> cpuUsage, std::vector<WidgetFan> fans,
                               std::string mode, std::string turbo, std::string language,
                               bool running, Trends trends)
    : schema(1),
      date(date),
      cpuTemperature(within(cpuTemperature, 0, 150)),
      gpuTemperature(within(gpuTemperature, 0, 150)),
      storageTemperature(within(storageTemperature, 0, 150)),
      cpuUsage(within(cpuUsage, 0, 100)),
      fans(cleanFans(std::move(fans))),
      mode(label(mode, maximumLabelLength)),
      turbo(label(turbo, maximumLabelLength)),
      language(label(language, maximumLanguageLength)),
      running(running),
      trends(cleanTrends(std::move(trends), date)) {}

WidgetSnapshot WidgetSnapshot::decode(std::string_view data) {
    if (data.size() > maximumFileSize) throw WidgetDataError();
    return nlohmann::json::parse(data.begin(), data.end()).get<WidgetSnapshot>();
}

WidgetSnapshot WidgetSnapshot::decode(std::span<const std::byte> data) {
    return decode(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::string WidgetSnapshot::encode() const {
    nlohmann::json json;
    to_json(json, *this);
    try {
        return json.dump();
    } catch (const nlohmann::json::exception&) {
        throw WidgetDataError();  // text that is not UTF-8
    }
}

std::optional<double> WidgetSnapshot::value(WidgetMetric metric) const {
    switch (metric) {
        case WidgetMetric::cpuTemperature: return cpuTemperature;
        case WidgetMetric::gpuTemperature: return gpuTemperature;
        case WidgetMetric::storageTemperature: return storageTemperature;
        case WidgetMetric::cpuUsage: return cpuUsage;
        case WidgetMetric::fan: {
            std::optional<double> fastest;
            for (const WidgetFan& fan : fans) {
                if (fan.rpm && (!fastest || *fan.rpm > *fastest)) fastest = fan.rpm;
            }
            return fastest;
        }
    }
    return std::nullopt;
}

WidgetFreshness WidgetSnapshot::freshness(double now) const {
    double age = now - date;
    // A NaN age (either instant not finite) fails every comparison below: unavailable.
    if (!std::isfinite(date) || !(age >= -120 && age <= 86400)) return WidgetFreshness::unavailable;
    if (!running) return WidgetFreshness::paused;
    return age <= 300 ? WidgetFreshness::recent : WidgetFreshness::previous;
}

void from_json(const nlohmann::json& json, WidgetSnapshot& snapshot) {
    using namespace JSONFields;
    if (integer(required(json, "schema")) != 1) throw WidgetDataError();
    double date = number(required(json, "date"));
    if (!std::isfinite(date)) throw WidgetDataError();

    const nlohmann::json& fanArray = required(json, "fans");
    if (!fanArray.is_array()) throw WidgetDataError();
    std::vector<WidgetFan> fans;
    fans.reserve(fanArray.size());
    for (const nlohmann::json& fan : fanArray) fans.push_back(fan.get<WidgetFan>());

    const nlohmann::json& trendObject = required(json, "trends");
    if (!trendObject.is_object()) throw WidgetDataError();
    WidgetSnapshot::Trends trends;
    for (const auto& [key, pointArray] : trendObject.items()) {
        if (!pointArray.is_array()) throw WidgetDataError();
        std::vector<WidgetPoint> points;
        points.reserve(pointArray.size());
        for (const nlohmann::json& point : pointArray) points.push_back(point.get<WidgetPoint>());
        trends[key] = std::move(points);
    }

    snapshot = WidgetSnapshot(
        date, optionalNumber(json, "cpuTemperature"), optionalNumber(json, "gpuTemperature"),
        optionalNumber(json, "storageTemperature"), optionalNumber(json, "cpuUsage"),
        std::move(fans), text(required(json, "mode")), text(required(json, "turbo")),
        text(required(json, "language")), boolean(required(json, "running")), std::move(trends));
}

void to_json(nlohmann::json& json, const WidgetSnapshot& snapshot) {
    // Everything is checked before `json` is touched: a throw from a half-built value
    // (this one or a nested fan or point) would leak it.
    using JSONFields::finite;
    finite(snapshot.date);
    for (const auto& reading : {snapshot.cpuTemperature, snapshot.gpuTemperature,
                                snapshot.storageTemperature, snapshot.cpuUsage}) {
        if (reading) finite(*reading);
    }
    for (const WidgetFan& fan : snapshot.fans) {
        if (fan.rpm) finite(*fan.rpm);
        if (fan.maximum) finite(*fan.maximum);
    }
    for (const auto& [key, points] : snapshot.trends) {
        for (const WidgetPoint& point : points) {
            finite(point.date);
            if (point.value) finite(*point.value);
        }
    }
    json = nlohmann::json::object();
    json["schema"] = snapshot.schema;
    json["date"] = snapshot.date;
    if (snapshot.cpuTemperature) json["cpuTemperature"] = *snapshot.cpuTemperature;
    if (snapshot.gpuTemperature) json["gpuTemperature"] = *snapshot.gpuTemperature;
    if (snapshot.storageTemperature) json["storageTemperature"] = *snapshot.storageTemperature;
    if (snapshot.cpuUsage) json["cpuUsage"] = *snapshot.cpuUsage;
    json["fans"] = snapshot.fans;
    json["mode"] = snapshot.mode;
    json["turbo"] = snapshot.turbo;
    json["language"] = snapshot.language;
    json["running"] = snapshot.running;
    json["trends"] = snapshot.trends;
}

}  // namespace pyrelle
