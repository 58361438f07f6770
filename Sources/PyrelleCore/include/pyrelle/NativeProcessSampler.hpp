#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "CSMCProbes.h"
#include "pyrelle/ProcessReading.hpp"

namespace pyrelle {

// Tells which processes are using the CPU and the disk right now: each sample compares every
// process with the same process instance (pid and start time) of the previous sample and
// reports CPU percentage and disk rates, busiest first. Not thread-safe: one caller at a time.
class NativeProcessSampler {
public:
    // Fills up to `capacity` entries and returns how many, or a negative number on failure;
    // writes the count of unreadable processes to the third argument. pyr_process_snapshot by
    // default.
    using SnapshotFunction = std::function<int32_t(PYRProcessSnapshot*, int32_t, int32_t*)>;

    // Processes seen per sample; more than this are not seen.
    static constexpr int32_t capacity = 4096;

    NativeProcessSampler();
    explicit NativeProcessSampler(SnapshotFunction snapshot);

    // `now` is in seconds on any monotonic clock the caller keeps consistent. The first call
    // only primes the state and returns nothing; a failed snapshot returns nothing and keeps
    // the previous state.
    std::vector<ProcessReading> sample(double now);

    // Processes that could not be read in the last sample.
    int inaccessible() const { return inaccessible_; }

private:
    struct Counters {
        uint64_t started = 0, cpu = 0, read = 0, written = 0;
    };

    SnapshotFunction snapshot_;
    std::unordered_map<int32_t, Counters> previous_;
    std::optional<double> previousTime_;
    int inaccessible_ = 0;
    std::vector<PYRProcessSnapshot> buffer_;  // allocated once, reused by every sample
};

}  // namespace pyrelle
