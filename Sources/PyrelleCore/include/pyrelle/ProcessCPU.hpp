#pragma once

#include <cstdint>
#include <optional>

// The two rate formulas of the process sampler, as standalone functions. Both answer nothing
// unless the two counters belong to the same process instance, `elapsed` is a positive finite
// number of seconds and the counter did not go backwards.
namespace pyrelle::ProcessCPU {

// CPU use in percent of one CPU from two nanosecond counters (never negative).
std::optional<double> percent(uint64_t previous, uint64_t current, double elapsed,
                              bool sameIdentity);

// Bytes per second from two byte counters.
std::optional<double> rate(uint64_t previous, uint64_t current, double elapsed, bool sameIdentity);

}  // namespace pyrelle::ProcessCPU
