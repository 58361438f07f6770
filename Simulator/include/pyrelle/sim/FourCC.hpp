#pragma once
// A four-character SMC code (key or data type) packed big-endian into an integer, first
// character in the top byte, as the SMC user client carries it.

#include <cstdint>
#include <string>
#include <string_view>

namespace pyrelle::sim {

struct FourCC {
    uint32_t value = 0;

    constexpr FourCC() = default;
    constexpr explicit FourCC(uint32_t packed) : value(packed) {}
    // Texts shorter than four characters are padded with blanks; longer ones are cut.
    constexpr FourCC(std::string_view text) {
        for (size_t i = 0; i < 4; ++i) {
            const auto c = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
            value = (value << 8) | c;
        }
    }

    std::string text() const {
        std::string out(4, ' ');
        for (int i = 0; i < 4; ++i)
            out[static_cast<size_t>(i)] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
        return out;
    }

    constexpr auto operator<=>(const FourCC&) const = default;
};

}  // namespace pyrelle::sim
