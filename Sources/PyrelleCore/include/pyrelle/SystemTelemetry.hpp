#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/Date.hpp"

namespace pyrelle {

// A small snapshot of battery and memory state beside the thermal Snapshot: charge, battery
// power, charging, cycle count, and used and installed memory. An immutable value.
struct SystemTelemetry {
    Date date;
    std::optional<double> batteryPercent;  // 0...100
    std::optional<double> batteryWatts;    // signed: negative while discharging
    std::optional<bool> charging;
    std::optional<int> cycles;
    std::optional<double> memoryUsed;  // bytes
    double memoryTotal = 0;            // bytes

    Date id() const { return date; }

    // memoryUsed / memoryTotal × 100; absent when memoryUsed is absent or the ratio is not finite.
    std::optional<double> memoryPercent() const;

    // Reads the running machine. Never fails: whatever cannot be read stays absent.
    static SystemTelemetry read();
    // Reads the machine whose file system starts at `root` (fixture trees in tests).
    static SystemTelemetry read(const std::string& root, Date now);

    // Battery power from millivolts and milliamps: absent unless both are finite,
    // 1000 ≤ millivolts ≤ 30000 and |milliamps| < 30000.
    static std::optional<double> watts(std::optional<double> millivolts,
                                       std::optional<double> milliamps);

    friend bool operator==(const SystemTelemetry&, const SystemTelemetry&) = default;
};

// JSON with the field names as keys; absent optionals left out. Decoding throws ScopeError.
void to_json(nlohmann::json& json, const SystemTelemetry& telemetry);
void from_json(const nlohmann::json& json, SystemTelemetry& telemetry);

}  // namespace pyrelle
