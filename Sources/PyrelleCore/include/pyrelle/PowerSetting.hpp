#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// One of the three power-management settings the optimiser may change; its text is also
// the key the settings tool reads and writes.
enum class PowerSetting { lowpowermode, displaysleep, sleep };

inline constexpr std::array<PowerSetting, 3> allPowerSettings{
    PowerSetting::lowpowermode, PowerSetting::displaysleep, PowerSetting::sleep};

std::string_view toText(PowerSetting setting);
std::optional<PowerSetting> parsePowerSetting(std::string_view text);

// The user-facing name, e.g. "系统闲置休眠".
std::string_view title(PowerSetting setting);

// Whether the setting accepts `value`: 0-1 for the low-power switch, 0-240 minutes for the
// two sleep settings. Every negative value is rejected.
bool valid(PowerSetting setting, std::int64_t value);

void to_json(nlohmann::json& json, const PowerSetting& setting);
void from_json(const nlohmann::json& json, PowerSetting& setting);

}  // namespace pyrelle
