#pragma once
// WidgetPoint: one trend sample of the status file. Points of different segments belong to
// different runs of a trend line and are never joined when drawn.
#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

struct WidgetPoint {
    double date = 0;              // seconds since 2001-01-01T00:00:00Z
    std::optional<double> value;  // absent unless finite and not negative
    std::int64_t segment = 0;

    WidgetPoint() = default;
    // Keeps `value` only when it is finite and not negative.
    WidgetPoint(double date, std::optional<double> value, std::int64_t segment);

    bool operator==(const WidgetPoint&) const = default;
};

// Strict decoding: `date` and `segment` required, `value` optional (null counts as absent).
// The decoded point is cleaned as the constructor does. Throws nlohmann::json::exception.
void from_json(const nlohmann::json& json, WidgetPoint& point);
// Throws WidgetDataError for a non-finite date or value, which JSON cannot carry.
void to_json(nlohmann::json& json, const WidgetPoint& point);

}  // namespace pyrelle
