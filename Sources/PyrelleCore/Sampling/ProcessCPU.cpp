#include "pyrelle/ProcessCPU.hpp"

#include <cmath>

namespace pyrelle::ProcessCPU {

namespace {

// The counter difference when the two readings can be compared at all.
std::optional<double> difference(uint64_t previous, uint64_t current, double elapsed,
                                 bool sameIdentity) {
    if (!sameIdentity || !(elapsed > 0) || !std::isfinite(elapsed) || current < previous)
        return std::nullopt;
    return static_cast<double>(current - previous);
}

}  // namespace

std::optional<double> percent(uint64_t previous, uint64_t current, double elapsed,
                              bool sameIdentity) {
    const auto nanoseconds = difference(previous, current, elapsed, sameIdentity);
    if (!nanoseconds) return std::nullopt;
    const double value = *nanoseconds / 1e9 / elapsed * 100.0;
    if (!std::isfinite(value)) return std::nullopt;
    return value < 0 ? 0.0 : value;
}

std::optional<double> rate(uint64_t previous, uint64_t current, double elapsed, bool sameIdentity) {
    const auto bytes = difference(previous, current, elapsed, sameIdentity);
    if (!bytes) return std::nullopt;
    const double value = *bytes / elapsed;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace pyrelle::ProcessCPU
