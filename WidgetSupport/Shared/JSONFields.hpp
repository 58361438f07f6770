#pragma once
// JSONFields: strict readers for the status file's fields. A field of the wrong JSON type
// is an invalid file, never a silently converted value (a boolean is not a number, 1.5 is
// not an integer).
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "pyrelle/widget/WidgetDataError.hpp"

namespace pyrelle::JSONFields {

inline const nlohmann::json& required(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) throw WidgetDataError();
    auto it = object.find(key);
    if (it == object.end()) throw WidgetDataError();
    return *it;
}

// Absent when the key is missing or null.
inline const nlohmann::json* optional(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) throw WidgetDataError();
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

inline double number(const nlohmann::json& value) {
    if (!value.is_number()) throw WidgetDataError();
    return value.get<double>();
}

inline std::int64_t integer(const nlohmann::json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
            throw WidgetDataError();
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // An integral float inside the 64-bit range is accepted as that integer.
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(d);
        }
    }
    throw WidgetDataError();
}

inline bool boolean(const nlohmann::json& value) {
    if (!value.is_boolean()) throw WidgetDataError();
    return value.get<bool>();
}

inline const std::string& text(const nlohmann::json& value) {
    if (!value.is_string()) throw WidgetDataError();
    return value.get_ref<const std::string&>();
}

inline std::optional<double> optionalNumber(const nlohmann::json& object, const char* key) {
    const nlohmann::json* v = optional(object, key);
    if (!v) return std::nullopt;
    return number(*v);
}

// JSON cannot carry NaN or infinities; writing one would silently turn it into null.
inline double finite(double value) {
    if (!std::isfinite(value)) throw WidgetDataError();
    return value;
}

}  // namespace pyrelle::JSONFields
