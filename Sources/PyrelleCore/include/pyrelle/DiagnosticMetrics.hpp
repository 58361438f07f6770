#pragma once

#include <optional>
#include <string>

#include "pyrelle/DiagnosticSource.hpp"
#include "pyrelle/MemoryPressure.hpp"

namespace pyrelle {

struct DiagnosticInput;

// Cleaned-up figures of one evaluation for display: implausible values are absent, never
// shown as normal, and process figures are only used while they are fresh.
struct DiagnosticMetrics {
    std::optional<double> cpuUsage;        // percent, 0...100
    std::optional<double> cpuTemperature;  // °C, not negative
    std::optional<double> gpuTemperature;  // °C, not negative
    std::optional<MemoryPressure> memoryPressure;
    std::string thermalTitle;
    std::optional<bool> performanceLimited;  // absent unless all three limits are known
    bool processFresh = false;
    bool wakeRequestsKnown = false;
    double processSeconds = 0;  // 0...60
    std::optional<DiagnosticSource> cpuSource;
    std::optional<DiagnosticSource> diskSource;

    // Process figures count as fresh when sampled between 1 s after and 12 s before the
    // snapshot.
    static constexpr double freshAhead = 1;
    static constexpr double freshBehind = 12;

    // Builds the block from one evaluation's input; never fails.
    static DiagnosticMetrics from(const DiagnosticInput& input);

    bool operator==(const DiagnosticMetrics&) const = default;
};

}  // namespace pyrelle
