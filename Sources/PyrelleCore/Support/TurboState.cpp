#include "pyrelle/TurboState.hpp"

#include <nlohmann/json.hpp>

#include "JSONDecoding.hpp"

namespace pyrelle {

std::string_view toText(TurboState state) {
    switch (state) {
        case TurboState::disabledDriverLoaded: return "disabledDriverLoaded";
        case TurboState::driverNotLoaded: return "driverNotLoaded";
        case TurboState::unknown: return "unknown";
        case TurboState::unsupported: break;
    }
    return "unsupported";
}

std::string_view title(TurboState state) {
    switch (state) {
        case TurboState::disabledDriverLoaded: return "禁用驱动已加载";
        case TurboState::driverNotLoaded: return "禁用驱动未加载";
        case TurboState::unknown: return "状态无法读取";
        case TurboState::unsupported: break;
    }
    return "不支持此处理器";
}

std::optional<TurboState> parseTurboState(std::string_view text) {
    for (auto state : {TurboState::disabledDriverLoaded, TurboState::driverNotLoaded,
                       TurboState::unknown, TurboState::unsupported})
        if (toText(state) == text) return state;
    return std::nullopt;
}

void to_json(nlohmann::json& json, const TurboState& state) {
    json = std::string(toText(state));
}

void from_json(const nlohmann::json& json, TurboState& state) {
    auto parsed = parseTurboState(jsondecode::text(json, "turbo"));
    if (!parsed) jsondecode::fail("turbo", "不是已知的睿频状态");
    state = *parsed;
}

}  // namespace pyrelle
