#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pyrelle {

// The chip family whose SMC key names the sensor catalog knows.
enum class SensorNamingPlatform { generic, appleM4, appleM4ProMax };

std::string_view toText(SensorNamingPlatform platform);  // "generic", "appleM4", "appleM4ProMax"

// "Apple M4" → appleM4; "Apple M4 Pro" / "Apple M4 Max" → appleM4ProMax; anything else generic.
// The brand is trimmed of surrounding white space and new lines; comparison is exact.
SensorNamingPlatform detectSensorNamingPlatform(std::string_view cpuBrand);

// The machine's CPU brand text: the virtual Mac's brand when a virtual SMC device is configured,
// otherwise the processor model name of `<root>/proc/cpuinfo`. None when it cannot be read or
// is not 1...255 bytes long.
std::optional<std::string> cpuBrandText(const std::string& root = "/");

// The platform of `cpuBrandText(root)`; generic when the brand cannot be read.
SensorNamingPlatform sensorNamingPlatformOf(const std::string& root);

// This machine's platform, determined once per process.
SensorNamingPlatform currentSensorNamingPlatform();

}  // namespace pyrelle
