#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pyrelle/CommonSensorReading.hpp"
#include "pyrelle/Date.hpp"
#include "pyrelle/MetricHistory.hpp"
#include "pyrelle/MetricPoint.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"
#include "pyrelle/Snapshot.hpp"

namespace pyrelle {

// The latest value and a 30-minute history of every common sensor seen in recorded snapshots.
// A sensor that vanishes keeps its place with an absent value (its line breaks) and is
// forgotten, history and all, once it has been unseen for more than 30 minutes.
class CommonSensorHistory {
public:
    static constexpr double maximumGap = 15;
    static constexpr double forgetSeconds = 1800;

    // Records a snapshot newer than the last one (others, and non-finite dates, are ignored).
    void record(const Snapshot& snapshot, SensorNamingPlatform platform);

    // The latest readings in order of first appearance. Valid until the next record.
    std::span<const CommonSensorReading> readings() const { return latest_; }

    // The last `minutes` (clamped to 1...30) of the sensor's history up to `end()`; empty for an
    // unknown sensor or before the first record. Valid until the next record.
    std::span<const MetricPoint> points(std::string_view id, int minutes) const;

    // The date of the last recorded snapshot.
    std::optional<Date> end() const { return end_; }

    // Sensor ids in order of first appearance.
    std::vector<std::string> order() const;

private:
    std::optional<std::size_t> indexOf(std::string_view id) const;

    // Parallel, in order of first appearance: latest_[i], histories_[i] and lastSeen_[i] all
    // belong to the sensor latest_[i].id.
    std::vector<CommonSensorReading> latest_;
    std::vector<MetricHistory> histories_;
    std::vector<Date> lastSeen_;
    std::optional<Date> end_;
};

}  // namespace pyrelle
