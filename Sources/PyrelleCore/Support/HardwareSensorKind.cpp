#include "pyrelle/HardwareSensorKind.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "JSONDecoding.hpp"

namespace pyrelle {

namespace {
constexpr HardwareSensorKind kAll[] = {HardwareSensorKind::fan, HardwareSensorKind::temperature,
                                       HardwareSensorKind::power, HardwareSensorKind::voltage,
                                       HardwareSensorKind::current};
}

std::string_view toText(HardwareSensorKind kind) {
    switch (kind) {
        case HardwareSensorKind::fan: return "fan";
        case HardwareSensorKind::temperature: return "temperature";
        case HardwareSensorKind::power: return "power";
        case HardwareSensorKind::voltage: return "voltage";
        case HardwareSensorKind::current: break;
    }
    return "current";
}

std::string_view title(HardwareSensorKind kind) {
    switch (kind) {
        case HardwareSensorKind::fan: return "风扇";
        case HardwareSensorKind::temperature: return "温度";
        case HardwareSensorKind::power: return "功耗";
        case HardwareSensorKind::voltage: return "电压";
        case HardwareSensorKind::current: break;
    }
    return "电流";
}

std::string_view unit(HardwareSensorKind kind) {
    switch (kind) {
        case HardwareSensorKind::fan: return "RPM";
        case HardwareSensorKind::temperature: return "°C";
        case HardwareSensorKind::power: return "W";
        case HardwareSensorKind::voltage: return "V";
        case HardwareSensorKind::current: break;
    }
    return "A";
}

std::optional<HardwareSensorKind> parseHardwareSensorKind(std::string_view text) {
    for (auto kind : kAll)
        if (toText(kind) == text) return kind;
    return std::nullopt;
}

std::optional<double> valid(HardwareSensorKind kind, std::optional<double> value) {
    if (!value || !std::isfinite(*value)) return std::nullopt;
    const double v = *value;
    bool ok = false;
    switch (kind) {
        case HardwareSensorKind::fan: ok = v >= 0 && v <= 20000; break;
        case HardwareSensorKind::temperature: ok = v > 0 && v < 130; break;
        case HardwareSensorKind::power: ok = v >= -10000 && v <= 10000; break;
        case HardwareSensorKind::voltage: ok = v >= 0 && v <= 1000; break;
        case HardwareSensorKind::current: ok = v >= -1000 && v <= 1000; break;
    }
    return ok ? value : std::nullopt;
}

std::optional<HardwareSensorKind> smcKind(std::string_view key, uint32_t type, uint32_t size) {
    const char text[4] = {static_cast<char>(type >> 24), static_cast<char>(type >> 16),
                          static_cast<char>(type >> 8), static_cast<char>(type)};
    const std::string_view typeText(text, 4);
    if (size == 2) {
        if (!typeText.starts_with("fp") && !typeText.starts_with("sp")) return std::nullopt;
    } else if (!(typeText == "flt " && size == 4)) {
        return std::nullopt;
    }
    if (key.empty()) return std::nullopt;
    switch (key.front()) {
        case 'T': return HardwareSensorKind::temperature;
        case 'P': return HardwareSensorKind::power;
        case 'V': return HardwareSensorKind::voltage;
        case 'I': return HardwareSensorKind::current;
        default: return std::nullopt;
    }
}

void to_json(nlohmann::json& json, const HardwareSensorKind& kind) {
    json = std::string(toText(kind));
}

void from_json(const nlohmann::json& json, HardwareSensorKind& kind) {
    auto parsed = parseHardwareSensorKind(jsondecode::text(json, "kind"));
    if (!parsed) jsondecode::fail("kind", "不是已知的传感器类型");
    kind = *parsed;
}

}  // namespace pyrelle
