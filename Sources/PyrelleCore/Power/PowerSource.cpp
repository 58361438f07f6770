#include "pyrelle/PowerSource.hpp"

#include <string>

#include "PowerCoding.hpp"

namespace pyrelle {

std::string_view toText(PowerSource source) {
    switch (source) {
        case PowerSource::ac: return "ac";
        case PowerSource::battery: return "battery";
    }
    return "ac";
}

std::optional<PowerSource> parsePowerSource(std::string_view text) {
    for (PowerSource source : allPowerSources) {
        if (toText(source) == text) return source;
    }
    return std::nullopt;
}

std::string_view argument(PowerSource source) {
    return source == PowerSource::battery ? "-b" : "-c";
}

std::string_view title(PowerSource source) {
    return source == PowerSource::battery ? "电池" : "插电";
}

void to_json(nlohmann::json& json, const PowerSource& source) {
    json = std::string(toText(source));
}

void from_json(const nlohmann::json& json, PowerSource& source) {
    const auto parsed = parsePowerSource(powercoding::text(json, "电源来源"));
    if (!parsed) powercoding::fail("电源来源取值未知");
    source = *parsed;
}

}  // namespace pyrelle
