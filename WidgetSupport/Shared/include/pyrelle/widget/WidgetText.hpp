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

// `text` (made well-formed first) without the bidirectional controls U+061C, U+200E, U+200F,
// U+202A…U+202E and U+2066…U+2069: a label from the status file cannot reorder what the
// card shows around it, nor leave an embedding open for the texts after it.
std::string withoutBidiControls(std::string_view text);

// The number of grapheme clusters of `text`.
std::size_t length(std::string_view text);

}  // namespace pyrelle::WidgetText
