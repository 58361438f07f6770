#include "pyrelle/MetricHistory.hpp"

#include <algorithm>
#include <cmath>

namespace pyrelle {

void MetricHistory::append(std::optional<double> value, Date at) {
    if (!at.isFinite()) return;
    const auto live = points();
    if (!live.empty() && !(at > live.back().date)) return;

    if (value && (!std::isfinite(*value) || (*value < 0 && !allowsNegativeValues_))) value.reset();

    if (!live.empty()) {
        const MetricPoint& last = live.back();
        if (!last.value || !value || at.secondsSince(last.date) > maximumGap_) ++segment_;
    }
    storage_.push_back(MetricPoint{at, value, segment_});

    // Dates are strictly increasing, so the stale points form a prefix.
    const Date oldest = at.adding(-retentionSeconds);
    const auto all = points();
    const auto firstKept = std::find_if(all.begin(), all.end(),
                                        [&](const MetricPoint& p) { return !(p.date < oldest); });
    std::size_t drop = static_cast<std::size_t>(firstKept - all.begin());
    const std::size_t remaining = all.size() - drop;
    if (remaining > maximumPoints) drop += remaining - maximumPoints;
    dropFront(drop);
}

void MetricHistory::dropFront(std::size_t count) {
    if (count == 0) return;
    head_ += count;
    const std::size_t live = storage_.size() - head_;
    if (head_ >= live && head_ >= 64) {
        storage_.erase(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

std::span<const MetricPoint> MetricHistory::window(Date ending, double seconds) const {
    const double span =
        std::isnan(seconds) ? retentionSeconds : std::clamp(seconds, 1.0, retentionSeconds);
    const Date start = ending.adding(-span);
    if (!ending.isFinite()) return {};
    const auto all = points();
    const auto first = std::lower_bound(all.begin(), all.end(), start,
                                        [](const MetricPoint& p, Date d) { return p.date < d; });
    const auto last = std::upper_bound(first, all.end(), ending,
                                       [](Date d, const MetricPoint& p) { return d < p.date; });
    return {first, last};
}

bool operator==(const MetricHistory& a, const MetricHistory& b) {
    const auto pa = a.points();
    const auto pb = b.points();
    return a.segment_ == b.segment_ && a.allowsNegativeValues_ == b.allowsNegativeValues_ &&
           (a.maximumGap_ == b.maximumGap_ ||
            (std::isnan(a.maximumGap_) && std::isnan(b.maximumGap_))) &&
           std::equal(pa.begin(), pa.end(), pb.begin(), pb.end());
}

}  // namespace pyrelle
