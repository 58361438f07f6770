#include "pyrelle/SensorCategory.hpp"

namespace pyrelle {

std::string_view toText(SensorCategory category) {
    switch (category) {
        case SensorCategory::cpu: return "CPU";
        case SensorCategory::gpu: return "GPU";
        case SensorCategory::storage: return "存储";
        case SensorCategory::battery: return "电池";
        case SensorCategory::other: break;
    }
    return "其他";
}

std::string_view title(SensorCategory category) {
    return toText(category);
}

std::optional<SensorCategory> parseSensorCategory(std::string_view text) {
    for (auto category : allSensorCategories)
        if (toText(category) == text) return category;
    return std::nullopt;
}

SensorCategory sensorCategoryFor(std::string_view key) {
    if (key.starts_with("TC")) return SensorCategory::cpu;
    if (key.starts_with("TG")) return SensorCategory::gpu;
    if (key.starts_with("TH")) return SensorCategory::storage;
    if (key.starts_with("TB")) return SensorCategory::battery;
    return SensorCategory::other;
}

}  // namespace pyrelle
