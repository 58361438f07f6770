#pragma once

#include <optional>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// One fan as read from the SMC; absent values could not be read.
struct FanReading {
    int id = 0;                     // fan index from 0; also its identity
    std::optional<double> rpm;      // current speed
    std::optional<double> minimum;  // minimum speed
    std::optional<double> maximum;  // maximum speed
    std::optional<bool> manual;     // forced mode; absent when the mode could not be read
    bool controllable = false;      // the system can drive this fan

    friend bool operator==(const FanReading&, const FanReading&) = default;
};

void to_json(nlohmann::json& json, const FanReading& fan);
void from_json(const nlohmann::json& json, FanReading& fan);  // throws ScopeError

}  // namespace pyrelle
