#include "pyrelle/widget/WidgetFan.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "JSONFields.hpp"

namespace pyrelle {
namespace {

std::optional<double> speed(std::optional<double> rpm) {
    if (rpm && std::isfinite(*rpm) && *rpm >= 0 && *rpm <= 30000) return rpm;
    return std::nullopt;
}

}  // namespace

WidgetFan::WidgetFan(std::int64_t id, std::optional<double> rpm, std::optional<double> maximum,
                     std::optional<bool> manual)
    : id(id), rpm(speed(rpm)), maximum(speed(maximum)), manual(manual) {}

void from_json(const nlohmann::json& json, WidgetFan& fan) {
    using namespace JSONFields;
    std::optional<bool> manual;
    if (const nlohmann::json* m = optional(json, "manual")) manual = boolean(*m);
    fan = WidgetFan(integer(required(json, "id")), optionalNumber(json, "rpm"),
                    optionalNumber(json, "maximum"), manual);
}

void to_json(nlohmann::json& json, const WidgetFan& fan) {
    // Checked before `json` is touched: a throw from a half-built value would leak it.
    if (fan.rpm) JSONFields::finite(*fan.rpm);
    if (fan.maximum) JSONFields::finite(*fan.maximum);
    json = nlohmann::json::object();
    json["id"] = fan.id;
    if (fan.rpm) json["rpm"] = *fan.rpm;
    if (fan.maximum) json["maximum"] = *fan.maximum;
    if (fan.manual) json["manual"] = *fan.manual;
}

}  // namespace pyrelle
