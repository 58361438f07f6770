#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace pyrelle {

// The broad group of a temperature sensor, derived from its SMC key prefix. The text value is
// also its identity and display text.
enum class SensorCategory { cpu, gpu, storage, battery, other };

// Every case, in display order.
inline constexpr std::array<SensorCategory, 5> allSensorCategories{
    SensorCategory::cpu, SensorCategory::gpu, SensorCategory::storage, SensorCategory::battery,
    SensorCategory::other};

// "CPU", "GPU", "存储", "电池", "其他".
std::string_view toText(SensorCategory category);
// The display title (the text value).
std::string_view title(SensorCategory category);
std::optional<SensorCategory> parseSensorCategory(std::string_view text);

// Category of a key by case-sensitive prefix: "TC", "TG", "TH", "TB", else `other`.
SensorCategory sensorCategoryFor(std::string_view key);

}  // namespace pyrelle
