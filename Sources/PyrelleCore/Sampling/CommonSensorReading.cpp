#include "pyrelle/CommonSensorReading.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

namespace pyrelle {

void to_json(nlohmann::json& json, const CommonSensorReading& reading) {
    json = nlohmann::json::object();
    json["id"] = reading.id;
    json["title"] = reading.title;
    json["explanation"] = reading.explanation;
    json["kind"] = reading.kind;
    if (reading.value && std::isfinite(*reading.value)) json["value"] = *reading.value;
    json["sources"] = reading.sources;
}

}  // namespace pyrelle
