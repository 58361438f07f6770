#pragma once

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// One fan's target speed as last written, identified by the fan number.
struct FanTarget {
    int id = 0;
    double rpm = 0;

    friend bool operator==(const FanTarget&, const FanTarget&) = default;
};

void to_json(nlohmann::json& json, const FanTarget& target);
void from_json(const nlohmann::json& json, FanTarget& target);  // both keys required

}  // namespace pyrelle
