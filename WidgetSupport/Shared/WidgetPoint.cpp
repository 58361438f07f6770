#include "pyrelle/widget/WidgetPoint.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "JSONFields.hpp"

namespace pyrelle {

WidgetPoint::WidgetPoint(double date, std::optional<double> value, std::int64_t segment)
    : date(date), segment(segment) {
    if (value && std::isfinite(*value) && *value >= 0) this->value = *value;
}

void from_json(const nlohmann::json& json, WidgetPoint& point) {
    using namespace JSONFields;
    point = WidgetPoint(number(required(json, "date")), optionalNumber(json, "value"),
                        integer(required(json, "segment")));
}

void to_json(nlohmann::json& json, const WidgetPoint& point) {
    // Checked before `json` is touched: a throw from a half-built value would leak it.
    JSONFields::finite(point.date);
    if (point.value) JSONFields::finite(*point.value);
    json = nlohmann::json::object();
    json["date"] = point.date;
    if (point.value) json["value"] = *point.value;
    json["segment"] = point.segment;
}

}  // namespace pyrelle
