#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// How a plan's low-power request is spread over the sources: `current` turns it on for the
// plan's own source, `batteryAutomatic` turns it on for battery and off for AC.
enum class PowerScope { current, batteryAutomatic };

std::string_view toText(PowerScope scope);
std::optional<PowerScope> parsePowerScope(std::string_view text);

void to_json(nlohmann::json& json, const PowerScope& scope);
void from_json(const nlohmann::json& json, PowerScope& scope);

}  // namespace pyrelle
