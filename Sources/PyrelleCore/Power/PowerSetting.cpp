#include "pyrelle/PowerSetting.hpp"

#include <string>

#include "PowerCoding.hpp"

namespace pyrelle {

std::string_view toText(PowerSetting setting) {
    switch (setting) {
        case PowerSetting::lowpowermode: return "lowpowermode";
        case PowerSetting::displaysleep: return "displaysleep";
        case PowerSetting::sleep: return "sleep";
    }
    return "sleep";
}

std::optional<PowerSetting> parsePowerSetting(std::string_view text) {
    for (PowerSetting setting : allPowerSettings) {
        if (toText(setting) == text) return setting;
    }
    return std::nullopt;
}

std::string_view title(PowerSetting setting) {
    switch (setting) {
        case PowerSetting::lowpowermode: return "系统低电量模式";
        case PowerSetting::displaysleep: return "显示器休眠";
        case PowerSetting::sleep: return "系统闲置休眠";
    }
    return "";
}

bool valid(PowerSetting setting, std::int64_t value) {
    // Compared as unsigned, so every negative value lands far above the limit.
    const auto magnitude = static_cast<std::uint64_t>(value);
    return setting == PowerSetting::lowpowermode ? magnitude < 2 : magnitude < 241;
}

void to_json(nlohmann::json& json, const PowerSetting& setting) {
    json = std::string(toText(setting));
}

void from_json(const nlohmann::json& json, PowerSetting& setting) {
    const auto parsed = parsePowerSetting(powercoding::text(json, "电源设置项"));
    if (!parsed) powercoding::fail("电源设置项取值未知");
    setting = *parsed;
}

}  // namespace pyrelle
