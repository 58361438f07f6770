#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "pyrelle/ActivitySource.hpp"
#include "pyrelle/SustainedActivity.hpp"

namespace pyrelle {

// Which applications have kept the machine busy over the recent window, and how busy they
// are now. The caller feeds one list of per-application figures per sample with its own
// second count (only differences matter); the window keeps the samples as intervals,
// integrates CPU and disk use over at most the last `window()` seconds and publishes a
// ranked table. A plain value with no clock, threads or locks; the caller serialises use.
class CPUActivityWindow {
public:
    // Samples further apart than this belong to different stretches of observation.
    static constexpr double maximumGap = 15;

    // A window of `seconds`, raised to 1 when smaller or not a number.
    explicit CPUActivityWindow(double seconds);

    // Adds one sample taken at `time` seconds and rebuilds `seconds()` and `rows()`.
    // Never fails: a non-finite time is ignored; sources with a negative or non-finite CPU
    // figure are dropped; a sample without any valid source clears the window; a sample
    // more than 15 s after the previous one, or not after it, restarts the history.
    void record(const std::vector<ActivitySource>& sources, double time);

    // Length of the window actually covered by the recorded intervals, seconds.
    double seconds() const { return seconds_; }
    // One row per application of the latest sample: highest average CPU first, then by id.
    const std::vector<SustainedActivity>& rows() const { return rows_; }
    // The window length fixed at creation, seconds.
    double window() const { return window_; }

private:
    // The interval [start, end] described by the merged sample taken at `end`.
    struct Frame {
        double start = 0;
        double end = 0;
        std::vector<ActivitySource> sources;  // one entry per id, in first-seen order
        std::vector<uint32_t> slots;          // the slot of each entry's id
    };

    static std::vector<ActivitySource> merge(const std::vector<ActivitySource>& sources);
    void clearHistory();
    void rebuild(double time);
    // Ids are interned as small slot numbers while any frame holds them, so integrating the
    // window indexes arrays instead of hashing every id of every frame.
    uint32_t retain(const std::string& id);
    void release(const Frame& frame);

    std::deque<Frame> frames_;
    std::unordered_map<std::string, uint32_t> slotOf_;
    std::vector<uint32_t> slotUses_;  // frames holding each slot's id; 0 = free
    std::vector<uint32_t> freeSlots_;
    std::optional<double> last_;
    double seconds_ = 0;
    std::vector<SustainedActivity> rows_;
    double window_;
};

}  // namespace pyrelle
