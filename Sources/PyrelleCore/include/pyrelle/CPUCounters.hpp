#pragma once

#include <cstdint>
#include <optional>

namespace pyrelle {

// Aggregate CPU ticks of the whole machine. The counters are 32-bit and wrap.
struct CPUCounters {
    uint32_t user = 0;
    uint32_t system = 0;
    uint32_t idle = 0;
    uint32_t nice = 0;

    // Busy percentage since `previous`, robust to counter wrap; absent when no tick elapsed.
    std::optional<double> usage(const CPUCounters& previous) const;

    friend bool operator==(const CPUCounters&, const CPUCounters&) = default;
};

}  // namespace pyrelle
