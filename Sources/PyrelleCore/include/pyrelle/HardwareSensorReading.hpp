#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/HardwareSensorKind.hpp"

namespace pyrelle {

// One SMC sensor key with its label, kind and validated value (valid for the kind or absent).
struct HardwareSensorReading {
    std::string key;
    std::string label;
    HardwareSensorKind kind = HardwareSensorKind::temperature;
    std::optional<double> value;

    HardwareSensorReading() = default;
    // Passes `value` through the kind's validity rule.
    HardwareSensorReading(std::string key, std::string label, HardwareSensorKind kind,
                          std::optional<double> value);

    // "<kind>:<key>", e.g. "fan:F0Ac".
    std::string id() const;

    friend bool operator==(const HardwareSensorReading&, const HardwareSensorReading&) = default;
};

void to_json(nlohmann::json& json, const HardwareSensorReading& reading);
// Re-validates the value, so a decoded reading keeps the same guarantee. Throws ScopeError.
void from_json(const nlohmann::json& json, HardwareSensorReading& reading);

}  // namespace pyrelle
