#pragma once

#include <optional>

namespace pyrelle {

// The load band of a CPU-usage value, ordered unknown < normal < elevated < critical.
enum class CPULoadLevel : int { unknown = -1, normal = 0, elevated = 1, critical = 2 };

constexpr int rawValue(CPULoadLevel level) {
    return static_cast<int>(level);
}

// Only -1...2 name a level.
constexpr std::optional<CPULoadLevel> cpuLoadLevel(int value) {
    if (value < -1 || value > 2) return std::nullopt;
    return static_cast<CPULoadLevel>(value);
}

}  // namespace pyrelle
