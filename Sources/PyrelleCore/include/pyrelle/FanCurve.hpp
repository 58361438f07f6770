#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pyrelle/CurvePoint.hpp"
#include "pyrelle/CurveSensor.hpp"

namespace pyrelle {

// The first rule a curve breaks, and the point it concerns (absent when the rule is about the
// curve as a whole, such as its number of points).
struct CurveProblem {
    const char* message;
    std::optional<std::size_t> point;

    friend bool operator==(const CurveProblem&, const CurveProblem&) = default;
};

// A user-defined fan curve: a few temperature/percent points, in ascending temperature, and
// the sensor whose temperature drives them. A plain value; `validate` says whether it may run.
struct FanCurve {
    std::vector<CurvePoint> points;
    CurveSensor sensor = CurveSensor::hottest;

    // Throws ScopeError with the first rule the curve breaks (point count, ranges, spacing and
    // monotony, the last point reaching 100 % at 90 °C or below).
    void validate() const;
    // What validate() would throw, with the index of the point at fault; absent when valid.
    // An editor uses it to mark the point while the user drags it.
    std::optional<CurveProblem> problem() const;
    // The rules validate() applies, in the words of its messages (for an editor to state).
    static std::vector<const char*> rules();

    // The fan percent at `temperature`: flat beyond the end points, linear in between; 100 when
    // the curve has no points or the temperature is not finite.
    double percent(double temperature) const;

    static FanCurve balanced();
    static FanCurve performance();
    static FanCurve quiet();

    // A flat curve at `percent` (clamped to 0…100; non-finite means 100), points at 30 and 80 °C.
    static FanCurve manual(double percent);

    friend bool operator==(const FanCurve&, const FanCurve&) = default;
};

void to_json(nlohmann::json& json, const FanCurve& curve);
// Requires "points" and "sensor"; throws ScopeError describing the first problem.
void from_json(const nlohmann::json& json, FanCurve& curve);

// Decodes a curve from JSON text; throws ScopeError (malformed JSON included).
FanCurve decodeFanCurve(std::string_view text);

}  // namespace pyrelle
