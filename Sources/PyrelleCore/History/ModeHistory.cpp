#include "pyrelle/ModeHistory.hpp"

#include <algorithm>
#include <cmath>

namespace pyrelle {

void ModeHistory::trim(Date cutoff) {
    const auto stale = [&](const ModeRecord& r) { return r.date < cutoff; };
    if (ordered_) {
        while (head_ < records_.size() && stale(records_[head_])) ++head_;
    } else {
        records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
        records_.erase(std::remove_if(records_.begin(), records_.end(), stale), records_.end());
        ordered_ = std::is_sorted(
            records_.begin(), records_.end(),
            [](const ModeRecord& a, const ModeRecord& b) { return a.date < b.date; });
    }
    if (head_ >= 64 && head_ >= records_.size() - head_) {
        records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void ModeHistory::append(Date date, const std::optional<std::string>& mode,
                         const std::optional<std::string>& session,
                         std::optional<double> temperature, std::optional<double> load) {
    // A non-finite date has no 30-minute window and cannot be placed in time: it is treated as
    // an unusable sample rather than stored forever.
    if (date.isFinite()) trim(date.adding(-retentionSeconds));
    if (!date.isFinite() || !mode || !temperature || !std::isfinite(*temperature)) {
        lastMode_.reset();
        lastDate_.reset();
        return;
    }

    const bool continues = lastMode_ && *lastMode_ == *mode && lastSession_ == session &&
                           lastDate_ && date > *lastDate_ &&
                           date.secondsSince(*lastDate_) <= maximumGap;
    if (!continues) {
        ++segment_;
        origin_ = date;
    }

    const auto live = records();
    if (!live.empty() && date < live.back().date) ordered_ = false;
    records_.push_back(ModeRecord{date, *mode, *temperature, load, segment_,
                                  date.secondsSince(origin_), std::nullopt});
    lastMode_ = mode;
    lastSession_ = session;
    lastDate_ = date;
}

}  // namespace pyrelle
