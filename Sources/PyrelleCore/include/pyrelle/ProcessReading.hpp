#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pyrelle {

// One process's CPU, memory and disk activity since the previous process sample.
struct ProcessReading {
    int32_t pid = 0;  // also the identity
    int32_t parentPID = 0;
    uint32_t uid = 0;
    uint64_t started = 0;  // start time in the machine's clock ticks (identifies the instance)
    std::string name;
    double cpu = 0;       // percent of one CPU; above 100 when several cores were busy
    uint64_t memory = 0;  // resident bytes
    std::optional<double> diskReadRate;   // bytes per second
    std::optional<double> diskWriteRate;  // bytes per second

    int32_t id() const { return pid; }

    // Read plus write rate, when both are known.
    std::optional<double> diskRate() const {
        if (!diskReadRate || !diskWriteRate) return std::nullopt;
        return *diskReadRate + *diskWriteRate;
    }

    friend bool operator==(const ProcessReading&, const ProcessReading&) = default;
};

}  // namespace pyrelle
