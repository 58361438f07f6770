#pragma once

#include <span>
#include <string>

#include "pyrelle/Snapshot.hpp"

namespace pyrelle {

// The CSV export of snapshots, a fixed external format.
namespace Export {

// The header line, without its line feed.
inline constexpr std::string_view csvHeader =
    "timestamp,cpu_percent,cpu_temperature_c,speed_limit_percent,scheduler_limit_percent,"
    "available_cpus,total_cpus,thermal_state,thermal_warning,turbo_driver,ac_power,low_power,"
    "fan0_rpm,fan1_rpm";

// The header and one line of 14 unquoted fields per snapshot, in input order, each line ended
// by a line feed. Missing values are empty fields. Timestamps are whole-second UTC
// ("2025-01-02T03:04:05Z"; empty for an instant outside the years 1...9999); decimals are
// rounded as "%.2f" rounds the exact double, always with a decimal point whatever the locale.
// Fan columns are fans 0 and 1 looked up by id.
std::string csv(std::span<const Snapshot> snapshots);

}  // namespace Export

}  // namespace pyrelle
