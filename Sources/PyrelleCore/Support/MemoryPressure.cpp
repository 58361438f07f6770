#include "pyrelle/MemoryPressure.hpp"

#include <nlohmann/json.hpp>

#include "JSONDecoding.hpp"

namespace pyrelle {

std::string_view toText(MemoryPressure pressure) {
    switch (pressure) {
        case MemoryPressure::normal: return "normal";
        case MemoryPressure::warning: return "warning";
        case MemoryPressure::critical: break;
    }
    return "critical";
}

std::string_view title(MemoryPressure pressure) {
    switch (pressure) {
        case MemoryPressure::normal: return "正常";
        case MemoryPressure::warning: return "偏高";
        case MemoryPressure::critical: break;
    }
    return "严重";
}

std::optional<MemoryPressure> memoryPressureFromValue(int64_t value) {
    switch (value) {
        case 1: return MemoryPressure::normal;
        case 2: return MemoryPressure::warning;
        case 4: return MemoryPressure::critical;
        default: return std::nullopt;
    }
}

void to_json(nlohmann::json& json, const MemoryPressure& pressure) {
    json = value(pressure);
}

void from_json(const nlohmann::json& json, MemoryPressure& pressure) {
    auto parsed = memoryPressureFromValue(jsondecode::integer(json, "memoryPressure"));
    if (!parsed) jsondecode::fail("memoryPressure", "只能是 1、2 或 4");
    pressure = *parsed;
}

}  // namespace pyrelle
