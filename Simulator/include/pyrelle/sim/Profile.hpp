#pragma once
// One virtual Mac the device can play: its identity, fans, thermal character and its full
// SMC key table (sensors of every kind, fan keys, and the many keys that are neither).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pyrelle/sim/FourCC.hpp"
#include "pyrelle/sim/ValueCodec.hpp"

namespace pyrelle::sim {

// Where a key's value comes from when it is read.
enum class KeySource : uint8_t {
    fixed,        // the stored bytes, never changing
    temperature,  // a thermal node, scaled and offset (°C)
    power,        // a power rail (W)
    voltage,      // a rail's voltage (V)
    current,      // a rail's current (A)
    fanActual,
    fanTarget,
    fanMinimum,
    fanMaximum,
    fanMode,     // Apple Silicon mode key: 1 manual, 0 or 3 system-automatic
    fanCount,    // "FNum"
    forcedMask,  // Intel "FS! ": bit n set = fan n manual
    unlock,      // "Ftst"
    keyCount,    // "#KEY": number of keys reachable by index
};

// Heat-carrying parts of the machine; sensor keys read one of them.
enum class ThermalNode : uint8_t { cpu, gpu, memory, storage, battery, skin, wireless, ambient };
inline constexpr size_t kThermalNodeCount = 8;

// Electrical rails; power, voltage and current keys read one of them.
enum class Rail : uint8_t { system, dcIn, cpu, gpu, memory, battery, constant };

struct KeySpec {
    FourCC key;
    FourCC type;
    uint32_t size = 0;
    KeySource source = KeySource::fixed;
    uint8_t index = 0;  // thermal node, rail or fan number, by source
    double scale = 1.0;
    double offset = 0.0;
    bool listed = true;  // false: readable by name only, not returned by key-at-index
    ValueCodec::Bytes bytes{};

    bool writable() const {
        return source == KeySource::fanMode || source == KeySource::fanTarget ||
               source == KeySource::forcedMask || source == KeySource::unlock;
    }
};

struct FanSpec {
    double minimum = 0;
    double maximum = 0;
};

struct Profile {
    std::string name;
    std::string brand;  // CPU brand text, e.g. "Apple M4 Pro"
    bool appleSilicon = true;
    uint8_t automaticMode = 3;  // what an automatic fan's mode key reads
    FourCC speedType{"flt "};
    std::vector<FanSpec> fans;
    int totalCPUs = 8;
    // Thermal character: heat at full load (W) and the cooling path's resistance (°C/W) with
    // still air; airflow divides it by (1 + airflowGain × fan fraction).
    double idleHeat = 4.0;
    double cpuHeat = 40.0;
    double gpuHeat = 30.0;
    double resistance = 2.0;
    double airflowGain = 1.6;
    std::vector<KeySpec> keys;

    // A built-in profile by name; `keyCount` > 0 pads the table with further keys (sensors and
    // others, as a larger machine has) until that many keys are reachable by index. Names of
    // the form "<profile>-<count>" (e.g. "apple-m4-pro-2000") do the same.
    static std::optional<Profile> named(std::string_view name, size_t keyCount = 0);
    static std::vector<std::string> names();

    size_t listedCount() const;
    const KeySpec* find(FourCC key) const;
};

}  // namespace pyrelle::sim
