#include "pyrelle/SensorReading.hpp"

#include <nlohmann/json.hpp>

#include "JSONDecoding.hpp"

namespace pyrelle {

void to_json(nlohmann::json& json, const SensorReading& reading) {
    json = nlohmann::json::object();
    json["key"] = reading.key;
    json["label"] = reading.label;
    json["celsius"] = reading.celsius;  // a non-finite value is written as null
}

void from_json(const nlohmann::json& json, SensorReading& reading) {
    using namespace jsondecode;
    object(json, "sensors 的元素");
    reading.key = text(required(json, "key"), "key");
    reading.label = text(required(json, "label"), "label");
    reading.celsius = number(required(json, "celsius"), "celsius");
}

}  // namespace pyrelle
