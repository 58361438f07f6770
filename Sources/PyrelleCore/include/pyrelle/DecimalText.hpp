#pragma once

// Locale-independent number text for identifiers, exports and drawings. Header-only, so
// the widget's SVG writer shares it without linking the core library: a host process that
// switched to a decimal-comma locale must never change a number we write.

#include <charconv>
#include <cmath>
#include <string>

namespace pyrelle::detail {

// The shortest decimal that reads back as exactly `value`, always showing a fraction
// ("1700000000.0", "0.5"); scientific outside 1e-4 <= |v| < 1e16, "nan"/"inf" when not finite.
inline void appendShortestDecimal(std::string& out, double value) {
    char buffer[64];
    const double magnitude = std::fabs(value);
    const bool plain =
        std::isfinite(value) && (value == 0 || (magnitude >= 1e-4 && magnitude < 1e16));
    const auto result =
        plain ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
              : std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
    if (plain && std::string_view(buffer, result.ptr).find('.') == std::string_view::npos)
        out += ".0";
}

// "%.<decimals>f" of the exact double into [first, last), rounded as the C locale's printf
// and never localised. Returns the end of the text (`last` when it does not fit).
inline char* writeFixed(char* first, char* last, double value, int decimals) {
    return std::to_chars(first, last, value, std::chars_format::fixed, decimals).ptr;
}

}  // namespace pyrelle::detail
