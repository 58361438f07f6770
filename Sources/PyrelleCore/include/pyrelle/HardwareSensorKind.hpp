#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// What an SMC sensor key measures, with the plausible range of each kind.
enum class HardwareSensorKind { fan, temperature, power, voltage, current };

std::string_view toText(HardwareSensorKind kind);  // also its identity
std::string_view title(HardwareSensorKind kind);   // "风扇", "温度", ...
std::string_view unit(HardwareSensorKind kind);    // "RPM", "°C", "W", "V", "A"
std::optional<HardwareSensorKind> parseHardwareSensorKind(std::string_view text);

// The value when it is finite and within the kind's range, else no value.
std::optional<double> valid(HardwareSensorKind kind, std::optional<double> value);

// The kind of an SMC key from its first letter and its data type (four characters packed
// big-endian) and size: 2-byte "fp.."/"sp.." or 4-byte "flt " only; T, P, V, I keys only.
std::optional<HardwareSensorKind> smcKind(std::string_view key, uint32_t type, uint32_t size);

void to_json(nlohmann::json& json, const HardwareSensorKind& kind);
void from_json(const nlohmann::json& json, HardwareSensorKind& kind);  // throws ScopeError

}  // namespace pyrelle
