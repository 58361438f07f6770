#include "pyrelle/HardwareSensorReading.hpp"

#include <nlohmann/json.hpp>

#include "JSONDecoding.hpp"

namespace pyrelle {

HardwareSensorReading::HardwareSensorReading(std::string key, std::string label,
                                             HardwareSensorKind kind, std::optional<double> value)
    : key(std::move(key)), label(std::move(label)), kind(kind), value(valid(kind, value)) {}

std::string HardwareSensorReading::id() const {
    return std::string(toText(kind)) + ":" + key;
}

void to_json(nlohmann::json& json, const HardwareSensorReading& reading) {
    json = nlohmann::json::object();
    json["key"] = reading.key;
    json["label"] = reading.label;
    json["kind"] = reading.kind;
    jsondecode::putNumber(json, "value", reading.value);
}

void from_json(const nlohmann::json& json, HardwareSensorReading& reading) {
    using namespace jsondecode;
    object(json, "additionalSensors 的元素");
    auto key = text(required(json, "key"), "key");
    auto label = text(required(json, "label"), "label");
    auto kind = required(json, "kind").get<HardwareSensorKind>();
    std::optional<double> value;
    if (auto v = optional(json, "value")) value = number(*v, "value");
    reading = HardwareSensorReading(std::move(key), std::move(label), kind, value);
}

}  // namespace pyrelle
