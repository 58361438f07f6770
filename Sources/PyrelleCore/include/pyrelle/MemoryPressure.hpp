#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// The kernel's memory-pressure level; the integer values match the kernel's and JSON uses them.
enum class MemoryPressure : int { normal = 1, warning = 2, critical = 4 };

constexpr int value(MemoryPressure pressure) {
    return static_cast<int>(pressure);
}
std::string_view toText(MemoryPressure pressure);  // "normal", "warning", "critical"
std::string_view title(MemoryPressure pressure);   // "正常", "偏高", "严重"
// Accepts exactly 1, 2 and 4.
std::optional<MemoryPressure> memoryPressureFromValue(int64_t value);

void to_json(nlohmann::json& json, const MemoryPressure& pressure);
void from_json(const nlohmann::json& json, MemoryPressure& pressure);  // throws ScopeError

}  // namespace pyrelle
