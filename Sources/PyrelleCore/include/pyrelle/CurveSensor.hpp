#pragma once

#include <optional>
#include <string_view>

#include "pyrelle/Snapshot.hpp"

namespace pyrelle {

// Which temperature of a snapshot drives a fan curve. The text value is also its identity.
enum class CurveSensor { cpu, gpu, hottest };

// "CPU", "GPU", "CPU / GPU 较高温".
std::string_view toText(CurveSensor sensor);
std::optional<CurveSensor> parseCurveSensor(std::string_view text);

// The control temperature in `snapshot`: the CPU temperature, the GPU category's, or the larger
// of the two that are present; absent when there is none.
std::optional<double> temperature(CurveSensor sensor, const Snapshot& snapshot);

}  // namespace pyrelle
