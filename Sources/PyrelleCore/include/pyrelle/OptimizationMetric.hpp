#pragma once

#include <optional>

#include "pyrelle/Date.hpp"
#include "pyrelle/PowerSource.hpp"

namespace pyrelle {

// One sample taken around a power-plan change, to judge afterwards whether it helped.
struct OptimizationMetric {
    Date date;
    std::optional<double> cpu;             // CPU load, percent
    std::optional<double> temperature;     // °C
    std::optional<double> dischargeWatts;  // battery discharge power
    std::optional<PowerSource> source;     // absent when unknown

    bool operator==(const OptimizationMetric&) const = default;
};

}  // namespace pyrelle
