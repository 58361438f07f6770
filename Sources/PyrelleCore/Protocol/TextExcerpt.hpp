#pragma once
// Shortening of texts that end up in a reply: a cut never splits a UTF-8 sequence, and a text
// that was cut ends in "…", so a reader can tell an excerpt from the whole.

#include <string>
#include <string_view>

namespace pyrelle::protocol {

inline constexpr std::string_view kEllipsis = "…";

// At most `maxBytes` bytes of `text` (the ellipsis included when the text was cut).
inline std::string excerpt(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    if (maxBytes < kEllipsis.size()) return std::string();
    size_t end = maxBytes - kEllipsis.size();
    // Step back over continuation bytes so the cut falls before a lead byte.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + std::string(kEllipsis);
}

}  // namespace pyrelle::protocol
