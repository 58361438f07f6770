#include "pyrelle/ThermalProfile.hpp"

namespace pyrelle {

std::string_view toText(ThermalProfile profile) {
    switch (profile) {
        case ThermalProfile::automatic: return "系统自动";
        case ThermalProfile::eco: return "节能";
        case ThermalProfile::performance: return "性能";
        case ThermalProfile::balanced: return "均衡";
        case ThermalProfile::quiet: return "静音";
        case ThermalProfile::custom: return "自定义";
    }
    return "自定义";
}

std::string_view command(ThermalProfile profile) {
    switch (profile) {
        case ThermalProfile::automatic: return "automatic";
        case ThermalProfile::eco: return "eco";
        case ThermalProfile::performance: return "performance";
        case ThermalProfile::balanced: return "balanced";
        case ThermalProfile::quiet: return "quiet";
        case ThermalProfile::custom: return "custom";
    }
    return "custom";
}

std::string_view explanation(ThermalProfile profile) {
    switch (profile) {
        case ThermalProfile::automatic: return "系统控制风扇 · 保留睿频设置";
        case ThermalProfile::eco: return "限制性能峰值 · 均衡散热";
        case ThermalProfile::performance: return "开启睿频 · 积极散热";
        case ThermalProfile::balanced: return "开启睿频 · 平衡温度与噪声";
        case ThermalProfile::quiet: return "关闭睿频 · 温和散热";
        case ThermalProfile::custom: return "按你的曲线运行 · 保留睿频设置";
    }
    return "";
}

bool disablesTurbo(ThermalProfile profile) {
    return profile == ThermalProfile::eco || profile == ThermalProfile::quiet;
}

FanCurve curve(ThermalProfile profile) {
    switch (profile) {
        case ThermalProfile::performance: return FanCurve::performance();
        case ThermalProfile::quiet: return FanCurve::quiet();
        default: return FanCurve::balanced();
    }
}

std::optional<ThermalProfile> parseThermalProfile(std::string_view value) {
    for (auto profile : allThermalProfiles) {
        if (toText(profile) == value) return profile;
    }
    return std::nullopt;
}

std::optional<ThermalProfile> parseThermalProfileCommand(std::string_view word) {
    for (auto profile : allThermalProfiles) {
        if (command(profile) == word) return profile;
    }
    return std::nullopt;
}

}  // namespace pyrelle
