#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "pyrelle/FanCurve.hpp"

namespace pyrelle {

// The thermal profiles a user picks from. The value (and identity) is the Chinese name; the
// command is the word of the helper's command line.
enum class ThermalProfile { automatic, eco, performance, balanced, quiet, custom };

inline constexpr std::array<ThermalProfile, 6> allThermalProfiles{
    ThermalProfile::automatic, ThermalProfile::eco,   ThermalProfile::performance,
    ThermalProfile::balanced,  ThermalProfile::quiet, ThermalProfile::custom};

// eco, performance, quiet.
inline constexpr std::array<ThermalProfile, 3> energyModes{
    ThermalProfile::eco, ThermalProfile::performance, ThermalProfile::quiet};

std::string_view toText(ThermalProfile profile);   // "系统自动", "节能", …
std::string_view command(ThermalProfile profile);  // "automatic", "eco", …
std::string_view explanation(ThermalProfile profile);
bool disablesTurbo(ThermalProfile profile);
FanCurve curve(ThermalProfile profile);

// From the Chinese value only; the command words give no profile.
std::optional<ThermalProfile> parseThermalProfile(std::string_view value);

// From the command-line word ("custom", "quiet", …).
std::optional<ThermalProfile> parseThermalProfileCommand(std::string_view word);

}  // namespace pyrelle
