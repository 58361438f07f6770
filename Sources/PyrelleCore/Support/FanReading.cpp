#include "pyrelle/FanReading.hpp"

#include <nlohmann/json.hpp>

#include "JSONDecoding.hpp"

namespace pyrelle {

void to_json(nlohmann::json& json, const FanReading& fan) {
    using namespace jsondecode;
    json = nlohmann::json::object();
    json["id"] = fan.id;
    putNumber(json, "rpm", fan.rpm);
    putNumber(json, "minimum", fan.minimum);
    putNumber(json, "maximum", fan.maximum);
    if (fan.manual) json["manual"] = *fan.manual;
    json["controllable"] = fan.controllable;
}

void from_json(const nlohmann::json& json, FanReading& fan) {
    using namespace jsondecode;
    object(json, "fans 的元素");
    FanReading result;
    result.id = static_cast<int>(integer(required(json, "id"), "id"));
    if (auto v = optional(json, "rpm")) result.rpm = number(*v, "rpm");
    if (auto v = optional(json, "minimum")) result.minimum = number(*v, "minimum");
    if (auto v = optional(json, "maximum")) result.maximum = number(*v, "maximum");
    if (auto v = optional(json, "manual")) result.manual = boolean(*v, "manual");
    result.controllable = boolean(required(json, "controllable"), "controllable");
    fan = std::move(result);
}

}  // namespace pyrelle
