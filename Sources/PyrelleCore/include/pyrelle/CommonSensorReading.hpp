#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/HardwareSensorKind.hpp"

namespace pyrelle {

// One condensed, explained sensor value (e.g. the hottest CPU probe) with the keys it came from.
struct CommonSensorReading {
    std::string id;
    std::string title;
    std::string explanation;
    HardwareSensorKind kind = HardwareSensorKind::temperature;
    std::optional<double> value;
    std::vector<std::string> sources;

    friend bool operator==(const CommonSensorReading&, const CommonSensorReading&) = default;
};

// Field names as keys, an absent value left out.
void to_json(nlohmann::json& json, const CommonSensorReading& reading);

}  // namespace pyrelle
