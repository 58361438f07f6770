#pragma once

#include <nlohmann/json_fwd.hpp>

namespace pyrelle {

// One control point of a fan curve: at `temperature` °C the fans run at `percent` of their
// rated range. Identified by its temperature.
struct CurvePoint {
    double temperature = 0;
    double percent = 0;

    double id() const { return temperature; }
    friend bool operator==(const CurvePoint&, const CurvePoint&) = default;
};

void to_json(nlohmann::json& json, const CurvePoint& point);
void from_json(const nlohmann::json& json, CurvePoint& point);  // throws ScopeError

}  // namespace pyrelle
