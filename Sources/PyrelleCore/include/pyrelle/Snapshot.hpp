#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/CPUCounters.hpp"
#include "pyrelle/Date.hpp"
#include "pyrelle/FanReading.hpp"
#include "pyrelle/HardwareSensorReading.hpp"
#include "pyrelle/MemoryPressure.hpp"
#include "pyrelle/SensorCategory.hpp"
#include "pyrelle/SensorReading.hpp"
#include "pyrelle/TurboState.hpp"

namespace pyrelle {

// One complete reading of the machine at one instant; an immutable value identified by its date.
struct Snapshot {
    Date date;
    std::optional<double> cpuUsage;  // busy percentage since the previous sample
    std::vector<SensorReading> sensors;
    std::vector<FanReading> fans;
    std::optional<int> speedLimit;      // percent, 100 = unlimited
    std::optional<int> schedulerLimit;  // percent, 100 = unlimited
    std::optional<int> availableCPUs;
    int totalCPUs = 0;
    int thermalState = 0;  // 0 nominal, 1 fair, 2 serious, 3 critical
    std::optional<int> thermalWarning;
    TurboState turbo = TurboState::unsupported;
    std::optional<bool> acPower;
    bool lowPower = false;
    bool smcAvailable = false;
    std::optional<MemoryPressure> memoryPressure;
    std::optional<std::vector<HardwareSensorReading>> additionalSensors;

    Date id() const { return date; }

    // Hottest "TC" sensor.
    std::optional<double> cpuTemperature() const;
    // Hottest sensor of the category (by key prefix).
    std::optional<double> temperature(SensorCategory category) const;
    std::string thermalTitle() const;
    bool limitKnown() const;
    bool limited() const;
    std::string limitTitle() const;
    std::string assessment() const;

    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

// The record's JSON form: dates as numbers, absent optionals left out. Decoding enforces the
// required keys and value types and throws ScopeError describing the first problem.
void to_json(nlohmann::json& json, const Snapshot& snapshot);
void from_json(const nlohmann::json& json, Snapshot& snapshot);

// The JSON value with the date as ISO 8601 text (keys of every object sorted).
nlohmann::json probeJSON(const Snapshot& snapshot);
// The document `probe` prints: ISO 8601 date, keys sorted, pretty-printed (no trailing newline).
std::string encodeForProbe(const Snapshot& snapshot);
// Decodes a snapshot from JSON text; throws ScopeError for malformed text or content.
Snapshot decodeSnapshot(std::string_view text);

}  // namespace pyrelle
