#pragma once

#include <optional>

#include "pyrelle/Snapshot.hpp"

namespace pyrelle {

// The rules that turn temperatures into fan positions, and the protection that overrides any
// curve when the machine is too hot. Pure functions; a percent is a position within a fan's
// rated range (0 % = minimum rpm, 100 % = maximum rpm).
namespace CurvePolicy {

// True when the CPU is at 92 °C or more, the GPU at 88 °C, storage at 75 °C, or the system's
// thermal state is serious or critical.
bool requiresMaximum(const Snapshot& snapshot);

// Protection is needed while every fan still turns within the lowest tenth of its range.
bool highTemperatureWithLowFanSpeed(const Snapshot& snapshot);

// Where `rpm` lies within the range, clamped to 0…100; 0 for unusable arguments.
double percent(double rpm, double minimum, double maximum);

// The rpm for `percent` (clamped to 0…100; NaN counts as 0).
double rpm(double percent, double minimum, double maximum);

// Falling values drop by at most 4 points per step; rising ones take effect at once.
double smooth(double desired, std::optional<double> previous);

}  // namespace CurvePolicy
}  // namespace pyrelle
