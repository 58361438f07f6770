#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "pyrelle/CommonSensorReading.hpp"
#include "pyrelle/HardwareSensorReading.hpp"
#include "pyrelle/SensorMeaning.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"

namespace pyrelle::SensorCatalog {

// What the machine's SMC keys mean per chip family, and the short list of common values
// (CPU, GPU, memory-area and storage temperature, each fan, whole-machine power) shown to users.

// The meaning of one reading on `platform`; none for keys the catalog does not know.
std::optional<SensorMeaning> meaning(const HardwareSensorReading& reading,
                                     SensorNamingPlatform platform);

// Condenses readings into the common values, in a fixed order.
std::vector<CommonSensorReading> common(std::span<const HardwareSensorReading> readings,
                                        SensorNamingPlatform platform);

// The Apple M4 family key sets the catalog recognises.
std::span<const std::string_view> m4CPUTemperatureKeys();
std::span<const std::string_view> m4SharedGPUTemperatureKeys();
std::span<const std::string_view> gpuTemperatureKeys(
    SensorNamingPlatform platform);  // platform-only
std::span<const std::string_view> m4MemoryTemperatureKeys();

}  // namespace pyrelle::SensorCatalog
