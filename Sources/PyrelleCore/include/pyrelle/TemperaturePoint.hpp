#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pyrelle/Date.hpp"
#include "pyrelle/RecordedTurboMode.hpp"

namespace pyrelle {

// One CPU temperature of the turbo comparison chart, placed in its unbroken stretch of one
// turbo mode (`segment`, from 1) at `elapsed` seconds from the stretch's start.
struct TemperaturePoint {
    Date date;
    double elapsed = 0;
    double celsius = 0;
    std::optional<double> cpuLoad;
    RecordedTurboMode mode = RecordedTurboMode::on;
    std::int64_t segment = 0;

    // segment + "-" + Unix seconds in the shortest decimal that reads back exactly, always with
    // a fraction ("3-1700000000.0", "3-1700000000.5").
    std::string id() const;
    // mode text + "-" + segment.
    std::string series() const;

    friend bool operator==(const TemperaturePoint&, const TemperaturePoint&) = default;
};

// Per-mode totals of temperature points; the averages and maximum are absent without data.
struct TemperatureSummary {
    int count = 0;
    std::optional<double> average;
    std::optional<double> maximum;
    std::optional<double> averageLoad;

    friend bool operator==(const TemperatureSummary&, const TemperatureSummary&) = default;
};

}  // namespace pyrelle
