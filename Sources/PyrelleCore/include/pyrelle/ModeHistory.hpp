#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pyrelle/Date.hpp"
#include "pyrelle/ModeRecord.hpp"

namespace pyrelle {

// Temperature and load under the active mode and control session, sample by sample, for the
// last 30 minutes; each unbroken stretch of one mode in one session is its own segment.
class ModeHistory {
public:
    static constexpr double retentionSeconds = 1800;
    static constexpr double maximumGap = 15;

    // `origin` is the start of the current segment until the first record; the current time
    // by default.
    explicit ModeHistory(Date origin = Date::now()) : origin_(origin) {}

    // Drops records older than 30 minutes before `date`, then records one sample. A sample
    // without a mode or a finite temperature, or with a non-finite date, is not stored and
    // makes the next one start a new segment. `load` is stored as given.
    void append(Date date, const std::optional<std::string>& mode,
                const std::optional<std::string>& session, std::optional<double> temperature,
                std::optional<double> load);

    // Oldest first (in append order). Valid until the next append.
    std::span<const ModeRecord> records() const {
        return {records_.data() + head_, records_.size() - head_};
    }
    const std::optional<std::string>& lastMode() const { return lastMode_; }
    const std::optional<std::string>& lastSession() const { return lastSession_; }
    std::optional<Date> lastDate() const { return lastDate_; }
    Date origin() const { return origin_; }
    std::int64_t segment() const { return segment_; }

private:
    void trim(Date cutoff);

    // Live records are records_[head_...]. While dates only grow the stale records form a
    // prefix that is skipped (and compacted later); a date that went backwards falls back to
    // a full sweep.
    std::vector<ModeRecord> records_;
    std::size_t head_ = 0;
    bool ordered_ = true;
    std::optional<std::string> lastMode_;
    std::optional<std::string> lastSession_;
    std::optional<Date> lastDate_;
    Date origin_;
    std::int64_t segment_ = 0;
};

}  // namespace pyrelle
