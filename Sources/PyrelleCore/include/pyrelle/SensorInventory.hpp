#pragma once

#include <string_view>
#include <vector>

#include "pyrelle/HardwareSensorReading.hpp"
#include "pyrelle/Snapshot.hpp"

namespace pyrelle::SensorInventory {

// Flattens a snapshot into one de-duplicated list of sensor readings in the order a file
// browser sorts names.

// Temperatures, then additional sensors, then fans; the first reading of each id wins; sorted
// by key with digit runs compared numerically (stable for equal keys).
std::vector<HardwareSensorReading> readings(const Snapshot& snapshot);

// The name order used above: negative, zero or positive like strcmp. Locale-aware (ICU,
// numeric collation, case-insensitive with a byte-wise tie-break).
int compareNames(std::string_view a, std::string_view b);

// The same order without ICU: digit runs numerically, other characters case-insensitively.
int compareNamesPlain(std::string_view a, std::string_view b);

}  // namespace pyrelle::SensorInventory
