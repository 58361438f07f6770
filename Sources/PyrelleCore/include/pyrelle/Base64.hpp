#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pyrelle::Base64 {

// Standard base64 (RFC 4648 alphabet, "=" padding) for arguments and payloads that travel as text.

std::string encode(std::span<const uint8_t> bytes);
std::string encode(std::string_view bytes);

// Strict decoding: the length must be a multiple of 4, only alphabet characters, and at most
// two "=" only at the very end. White space or any other character gives no value.
std::optional<std::vector<uint8_t>> decode(std::string_view text);
std::optional<std::string> decodeText(std::string_view text);

}  // namespace pyrelle::Base64
