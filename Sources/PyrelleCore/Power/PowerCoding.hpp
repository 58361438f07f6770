#pragma once

// Decoding helpers for the power records' JSON forms, on top of the shared strict readers:
// every failure is a ScopeError naming the key and the problem.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "../Support/JSONDecoding.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::powercoding {

using jsondecode::boolean;
using jsondecode::object;
using jsondecode::optional;
using jsondecode::required;

[[noreturn]] inline void fail(std::string_view what) {
    throw ScopeError("JSON 解码失败：" + std::string(what));
}

// Any integer that fits in 64 bits; fractions and overflow are rejected rather than
// truncated, so a hostile value cannot wrap into a valid range.
inline std::int64_t integer(const nlohmann::json& value, std::string_view key) {
    // 2^63 is not representable; the shared reader's upper bound check would let it through.
    if (value.is_number_float() && !(value.get<double>() < 9223372036854775808.0)) {
        jsondecode::fail(key, "超出整数范围");
    }
    return jsondecode::integer(value, key, std::numeric_limits<std::int64_t>::min(),
                               std::numeric_limits<std::int64_t>::max());
}

inline std::optional<std::int64_t> optionalInteger(const nlohmann::json& json, const char* key) {
    const nlohmann::json* value = optional(json, key);
    if (value == nullptr) return std::nullopt;
    return integer(*value, key);
}

inline const std::string& text(const nlohmann::json& value, std::string_view what) {
    if (!value.is_string()) fail(std::string(what) + "应为文本");
    return value.get_ref<const std::string&>();
}

}  // namespace pyrelle::powercoding
