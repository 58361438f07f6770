#include "pyrelle/OptimizationSummary.hpp"

#include <algorithm>
#include <cmath>

namespace pyrelle {

namespace {

constexpr std::int64_t minimumSamples = 5;
constexpr double minimumSeconds = 20;
constexpr double baselineSeconds = 60;
constexpr double minimumLoadTolerance = 10;
constexpr double temperatureStep = 2;

// Mean of the present, finite values; absent when none remain.
std::optional<double> mean(const std::vector<std::optional<double>>& values) {
    double sum = 0;
    std::int64_t used = 0;
    for (const auto& value : values) {
        if (value && std::isfinite(*value)) {
            sum += *value;
            ++used;
        }
    }
    if (used == 0) return std::nullopt;
    return sum / static_cast<double>(used);
}

}  // namespace

std::string_view toText(OptimizationAssessment assessment) {
    switch (assessment) {
        case OptimizationAssessment::insufficient: return "insufficient";
        case OptimizationAssessment::powerChanged: return "powerChanged";
        case OptimizationAssessment::loadChanged: return "loadChanged";
        case OptimizationAssessment::lowerTemperature: return "lowerTemperature";
        case OptimizationAssessment::higherTemperature: return "higherTemperature";
        case OptimizationAssessment::noClearChange: return "noClearChange";
    }
    return "insufficient";
}

OptimizationSummary::OptimizationSummary(std::vector<OptimizationMetric> samples) {
    std::stable_sort(
        samples.begin(), samples.end(),
        [](const OptimizationMetric& a, const OptimizationMetric& b) { return a.date < b.date; });

    std::vector<std::optional<double>> loads;
    std::vector<std::optional<double>> temperatures;
    std::vector<std::optional<double>> discharge;
    bool sourceMissing = false;
    bool sourcesDiffer = false;
    for (const OptimizationMetric& sample : samples) {
        loads.push_back(sample.cpu);
        temperatures.push_back(sample.temperature);
        if (sample.dischargeWatts && std::isfinite(*sample.dischargeWatts) &&
            *sample.dischargeWatts > 0) {
            discharge.push_back(sample.dischargeWatts);
        }
        if (!sample.source) {
            sourceMissing = true;
        } else if (!source) {
            source = sample.source;
        } else if (*source != *sample.source) {
            sourcesDiffer = true;
        }
    }
    cpu = mean(loads);
    temperature = mean(temperatures);
    if (sourceMissing || sourcesDiffer) source.reset();
    wattsSamples = static_cast<std::int64_t>(discharge.size());
    if (source == PowerSource::battery && wattsSamples >= 2) watts = mean(discharge);
    count = static_cast<std::int64_t>(samples.size());
    if (!samples.empty()) {
        const double covered = samples.back().date.secondsSince(samples.front().date);
        // Not-a-number (a non-finite date) also reads as no time covered.
        seconds = covered > 0 ? covered : 0;
    }
}

OptimizationSummary OptimizationSummary::baseline(const std::vector<OptimizationMetric>& samples,
                                                  std::optional<Date> before) {
    if (!before) return OptimizationSummary(std::vector<OptimizationMetric>{});
    const Date start = before->adding(-baselineSeconds);
    std::vector<OptimizationMetric> window;
    for (const OptimizationMetric& sample : samples) {
        if (sample.date >= start && sample.date <= *before) window.push_back(sample);
    }
    return OptimizationSummary(std::move(window));
}

bool OptimizationSummary::sufficient() const {
    return count >= minimumSamples && seconds >= minimumSeconds;
}

bool OptimizationSummary::comparableWatts(const OptimizationSummary& other) const {
    return sufficient() && other.sufficient() && source == PowerSource::battery &&
           other.source == PowerSource::battery && watts.has_value() && other.watts.has_value();
}

OptimizationAssessment OptimizationSummary::assessment(const OptimizationSummary& after) const {
    if (!sufficient() || !after.sufficient()) return OptimizationAssessment::insufficient;
    if (!source || source != after.source) return OptimizationAssessment::powerChanged;
    if (!cpu || !after.cpu) return OptimizationAssessment::loadChanged;
    const double tolerance = std::max(minimumLoadTolerance, std::abs(*cpu) / 2);
    if (std::abs(*cpu - *after.cpu) > tolerance) return OptimizationAssessment::loadChanged;
    if (!temperature || !after.temperature) return OptimizationAssessment::insufficient;
    if (*after.temperature <= *temperature - temperatureStep)
        return OptimizationAssessment::lowerTemperature;
    if (*after.temperature >= *temperature + temperatureStep)
        return OptimizationAssessment::higherTemperature;
    return OptimizationAssessment::noClearChange;
}

}  // namespace pyrelle
