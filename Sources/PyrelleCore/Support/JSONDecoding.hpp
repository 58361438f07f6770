#pragma once
// Strict field readers shared by the JSON decoders of the shared records. Every failure throws
// ScopeError whose text names the key and the problem, so a caller can show it as is.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "pyrelle/ScopeError.hpp"

namespace pyrelle::jsondecode {

[[noreturn]] inline void fail(std::string_view key, std::string_view problem) {
    throw ScopeError("JSON 解码失败：键 \"" + std::string(key) + "\" " + std::string(problem));
}

inline const nlohmann::json& object(const nlohmann::json& json, std::string_view what) {
    if (!json.is_object()) throw ScopeError("JSON 解码失败：" + std::string(what) + " 应为对象");
    return json;
}

inline const nlohmann::json& required(const nlohmann::json& json, const char* key) {
    auto found = json.find(key);
    if (found == json.end()) fail(key, "缺失");
    return *found;
}

// Absent and null both mean "no value" for optional keys.
inline const nlohmann::json* optional(const nlohmann::json& json, const char* key) {
    auto found = json.find(key);
    if (found == json.end() || found->is_null()) return nullptr;
    return &*found;
}

inline double number(const nlohmann::json& value, std::string_view key) {
    if (!value.is_number()) fail(key, "应为数字");
    return value.get<double>();
}

inline int64_t integer(const nlohmann::json& value, std::string_view key,
                       int64_t low = std::numeric_limits<int32_t>::min(),
                       int64_t high = std::numeric_limits<int32_t>::max()) {
    if (value.is_number_unsigned()) {
        auto v = value.get<uint64_t>();
        if (v > static_cast<uint64_t>(high)) fail(key, "超出整数范围");
        return static_cast<int64_t>(v);
    }
    if (value.is_number_integer()) {
        auto v = value.get<int64_t>();
        if (v < low || v > high) fail(key, "超出整数范围");
        return v;
    }
    if (value.is_number_float()) {
        double v = value.get<double>();
        if (!std::isfinite(v) || std::trunc(v) != v) fail(key, "应为整数");
        // 2^63 itself does not fit an int64_t even though INT64_MAX rounds up to it.
        if (v < static_cast<double>(low) || v > static_cast<double>(high) ||
            v >= 9223372036854775808.0) {
            fail(key, "超出整数范围");
        }
        return static_cast<int64_t>(v);
    }
    fail(key, "应为整数");
}

inline bool boolean(const nlohmann::json& value, std::string_view key) {
    if (!value.is_boolean()) fail(key, "应为布尔值");
    return value.get<bool>();
}

inline std::string text(const nlohmann::json& value, std::string_view key) {
    if (!value.is_string()) fail(key, "应为文本");
    return value.get<std::string>();
}

// Writes an optional number only when present and finite (a non-finite number counts as absent).
inline void putNumber(nlohmann::json& json, const char* key, const std::optional<double>& value) {
    if (value && std::isfinite(*value)) json[key] = *value;
}

}  // namespace pyrelle::jsondecode
