#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace pyrelle {

// The part of the machine a sensor key belongs to; the text value is its identity.
enum class SensorComponent { cpu, gpu, memory, storage, battery, wireless, fan, power, unknown };

inline constexpr std::array<SensorComponent, 9> allSensorComponents{
    SensorComponent::cpu,     SensorComponent::gpu,     SensorComponent::memory,
    SensorComponent::storage, SensorComponent::battery, SensorComponent::wireless,
    SensorComponent::fan,     SensorComponent::power,   SensorComponent::unknown};

std::string_view toText(SensorComponent component);  // "cpu", "gpu", ...
std::string_view title(SensorComponent component);   // "处理器", "图形处理器", ...
std::optional<SensorComponent> parseSensorComponent(std::string_view text);

}  // namespace pyrelle
