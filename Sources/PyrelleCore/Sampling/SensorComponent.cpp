#include "pyrelle/SensorComponent.hpp"

namespace pyrelle {

std::string_view toText(SensorComponent component) {
    switch (component) {
        case SensorComponent::cpu: return "cpu";
        case SensorComponent::gpu: return "gpu";
        case SensorComponent::memory: return "memory";
        case SensorComponent::storage: return "storage";
        case SensorComponent::battery: return "battery";
        case SensorComponent::wireless: return "wireless";
        case SensorComponent::fan: return "fan";
        case SensorComponent::power: return "power";
        case SensorComponent::unknown: break;
    }
    return "unknown";
}

std::string_view title(SensorComponent component) {
    switch (component) {
        case SensorComponent::cpu: return "处理器";
        case SensorComponent::gpu: return "图形处理器";
        case SensorComponent::memory: return "内存";
        case SensorComponent::storage: return "存储";
        case SensorComponent::battery: return "电池";
        case SensorComponent::wireless: return "无线网络";
        case SensorComponent::fan: return "风扇";
        case SensorComponent::power: return "供电";
        case SensorComponent::unknown: break;
    }
    return "用途未识别";
}

std::optional<SensorComponent> parseSensorComponent(std::string_view text) {
    for (auto component : allSensorComponents)
        if (toText(component) == text) return component;
    return std::nullopt;
}

}  // namespace pyrelle
