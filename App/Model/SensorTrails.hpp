#pragma once
// SensorTrails: the last five minutes of every discovered reading, one point every five
// seconds, behind the sensors page's sparklines. A 30-minute history per key would cost
// megabytes on a machine of a few hundred keys; a line 120 pixels wide needs no more than this.
// Not thread-safe: AppState guards it with its own lock.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "pyrelle/Date.hpp"
#include "pyrelle/MetricPoint.hpp"
#include "pyrelle/Snapshot.hpp"

namespace kilnview {

class SensorTrails {
public:
    static constexpr double spacing = 5;      // seconds between kept points
    static constexpr double span = 300;       // seconds kept, and how long a vanished key stays
    static constexpr double maximumGap = 15;  // seconds between kept points that still join

    // Keeps one point of the sample unless the last kept one is less than `spacing` old (a
    // sampling period's jitter allowed). A known key missing from the sample gets an absent
    // point, so its line breaks; so does every line after a pause longer than `maximumGap`.
    void record(const pyrelle::Snapshot& snapshot);

    // Oldest first, by reading id ("<kind>:<key>", as HardwareSensorReading::id()).
    std::map<std::string, std::vector<pyrelle::MetricPoint>> points() const;

private:
    struct Trail {
        std::deque<pyrelle::MetricPoint> points;
        std::optional<pyrelle::Date> lastValue;  // when it last had a value
        std::int64_t segment = 0;
        bool inSample = false;
    };
    void append(Trail& trail, std::optional<double> value, pyrelle::Date at, bool broke);

    std::unordered_map<std::string, Trail> trails_;
    std::optional<pyrelle::Date> last_;
};

}  // namespace kilnview
