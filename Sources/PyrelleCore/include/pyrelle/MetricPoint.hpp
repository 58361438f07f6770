#pragma once

#include <cstdint>
#include <optional>

#include "pyrelle/Date.hpp"

namespace pyrelle {

// One sample of a chart series. Points of one `segment` may be joined by a line; an absent
// value is a sample that had no usable reading and breaks the line. Identity is `date`.
struct MetricPoint {
    Date date;
    std::optional<double> value;
    std::int64_t segment = 0;

    Date id() const { return date; }

    friend bool operator==(const MetricPoint&, const MetricPoint&) = default;
};

}  // namespace pyrelle
