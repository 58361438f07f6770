#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/SensorCategory.hpp"

namespace pyrelle {

// One SMC temperature sensor as sampled: its four-character key, human label and value.
struct SensorReading {
    std::string key;
    std::string label;
    double celsius = 0;

    const std::string& id() const { return key; }
    SensorCategory category() const { return sensorCategoryFor(key); }

    friend bool operator==(const SensorReading&, const SensorReading&) = default;
};

void to_json(nlohmann::json& json, const SensorReading& reading);
void from_json(const nlohmann::json& json, SensorReading& reading);  // throws ScopeError

}  // namespace pyrelle
