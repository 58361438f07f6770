#pragma once
// WidgetText: the few text operations the status format and the cards need, counted in
// user-perceived characters (grapheme clusters), never in bytes.
#include <cstddef>
#include <string>
#include <string_view>

namespace pyrelle::WidgetText {

// `text` as well-formed UTF-8: every ill-formed sequence becomes U+FFFD.
std::string validUTF8(std::string_view text);

// The first `characters` grapheme clusters of `text` (made well-formed first).
std::string prefix(std::string_view text, std::size_t characters);

// The number of grapheme clusters of `text`.
std::size_t length(std::string_view text);

}  // namespace pyrelle::WidgetText
