#include "pyrelle/PowerScope.hpp"

#include <string>

#include "PowerCoding.hpp"

namespace pyrelle {

std::string_view toText(PowerScope scope) {
    return scope == PowerScope::batteryAutomatic ? "batteryAutomatic" : "current";
}

std::optional<PowerScope> parsePowerScope(std::string_view text) {
    if (text == "current") return PowerScope::current;
    if (text == "batteryAutomatic") return PowerScope::batteryAutomatic;
    return std::nullopt;
}

void to_json(nlohmann::json& json, const PowerScope& scope) {
    json = std::string(toText(scope));
}

void from_json(const nlohmann::json& json, PowerScope& scope) {
    const auto parsed = parsePowerScope(powercoding::text(json, "低电量范围"));
    if (!parsed) powercoding::fail("低电量范围取值未知");
    scope = *parsed;
}

}  // namespace pyrelle
