#pragma once
// WidgetFan: one fan as the status file carries it.
#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

struct WidgetFan {
    std::int64_t id = 0;            // the fan's index
    std::optional<double> rpm;      // current speed
    std::optional<double> maximum;  // the fan's maximum speed
    std::optional<bool> manual;     // under manual control

    WidgetFan() = default;
    // Keeps `rpm` and `maximum` only when finite and within 0…30000.
    WidgetFan(std::int64_t id, std::optional<double> rpm, std::optional<double> maximum,
              std::optional<bool> manual);

    bool operator==(const WidgetFan&) const = default;
};

// Strict decoding (`id` required; optional fields may be missing or null), cleaned as the
// constructor does. Throws nlohmann::json::exception.
void from_json(const nlohmann::json& json, WidgetFan& fan);
// Throws WidgetDataError for a non-finite speed, which JSON cannot carry.
void to_json(nlohmann::json& json, const WidgetFan& fan);

}  // namespace pyrelle
