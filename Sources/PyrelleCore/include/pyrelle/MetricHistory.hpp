#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "pyrelle/Date.hpp"
#include "pyrelle/MetricPoint.hpp"

namespace pyrelle {

// The short-term memory behind a small line chart: one value per sample, at most 30 minutes and
// 1000 points, cut into segments wherever a chart must not draw a line (a gap longer than
// `maximumGap`, or a missing value).
class MetricHistory {
public:
    static constexpr double retentionSeconds = 1800;
    static constexpr std::size_t maximumPoints = 1000;

    MetricHistory(double maximumGap, bool allowsNegativeValues)
        : maximumGap_(maximumGap), allowsNegativeValues_(allowsNegativeValues) {}

    // Adds one sample. A non-finite date, or one not later than the last point's, is ignored.
    // A non-finite value (or a negative one unless negatives are allowed) is stored as absent.
    void append(std::optional<double> value, Date at);

    // The points of the last `seconds` (clamped to 1...1800; NaN counts as 1800) up to and
    // including `ending`, oldest first.
    std::span<const MetricPoint> window(Date ending, double seconds) const;

    // Oldest first, dates strictly increasing. Valid until the next append.
    std::span<const MetricPoint> points() const {
        return {storage_.data() + head_, storage_.size() - head_};
    }
    std::int64_t segment() const { return segment_; }
    double maximumGap() const { return maximumGap_; }
    bool allowsNegativeValues() const { return allowsNegativeValues_; }

    friend bool operator==(const MetricHistory& a, const MetricHistory& b);

private:
    void dropFront(std::size_t count);

    // Points live in storage_[head_...]; trimmed points are only skipped, and the storage is
    // compacted once the skipped prefix outgrows the live points, so trimming is amortised O(1).
    std::vector<MetricPoint> storage_;
    std::size_t head_ = 0;
    std::int64_t segment_ = 0;
    double maximumGap_;
    bool allowsNegativeValues_;
};

}  // namespace pyrelle
