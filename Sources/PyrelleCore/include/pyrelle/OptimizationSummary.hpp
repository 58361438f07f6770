#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pyrelle/Date.hpp"
#include "pyrelle/OptimizationAssessment.hpp"
#include "pyrelle/OptimizationMetric.hpp"
#include "pyrelle/PowerSource.hpp"

namespace pyrelle {

// The digest of a series of optimisation samples, and the fair comparison of two digests.
struct OptimizationSummary {
    std::optional<double> cpu;          // mean load
    std::optional<double> temperature;  // mean temperature
    std::optional<double> watts;        // mean discharge, all-battery series with 2+ readings only
    double seconds = 0;                 // first to last sample, never negative
    std::int64_t count = 0;
    std::optional<PowerSource> source;  // the single source of the whole series
    std::int64_t wattsSamples = 0;      // usable (finite, positive) discharge readings

    OptimizationSummary() = default;
    explicit OptimizationSummary(std::vector<OptimizationMetric> samples);

    // The summary of the samples in the minute up to `before`, both ends included; of no
    // samples when `before` is absent.
    static OptimizationSummary baseline(const std::vector<OptimizationMetric>& samples,
                                        std::optional<Date> before);

    // At least 5 samples over at least 20 seconds.
    bool sufficient() const;

    // Both sufficient, both on battery, both with a discharge figure.
    bool comparableWatts(const OptimizationSummary& other) const;

    // Called on the summary before the change with the one after it. Refuses a verdict when
    // the series are too short, the power source differs or the load moved too much.
    OptimizationAssessment assessment(const OptimizationSummary& after) const;

    bool operator==(const OptimizationSummary&) const = default;
};

}  // namespace pyrelle
