#pragma once

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// The source that powers the machine; every power setting is kept once per source.
enum class PowerSource { ac, battery };

inline constexpr std::array<PowerSource, 2> allPowerSources{PowerSource::ac, PowerSource::battery};

// JSON text: "ac" / "battery".
std::string_view toText(PowerSource source);
std::optional<PowerSource> parsePowerSource(std::string_view text);

// The settings tool's flag selecting this source's profile: "-c" / "-b".
std::string_view argument(PowerSource source);

// The user-facing name: "插电" / "电池".
std::string_view title(PowerSource source);

void to_json(nlohmann::json& json, const PowerSource& source);
void from_json(const nlohmann::json& json, PowerSource& source);

}  // namespace pyrelle
