#pragma once
// The 80-byte block of the SMC user client, as a value: requests are built from it and
// output blocks parsed into it. Integer fields are little-endian on the wire; key and type
// hold four characters packed big-endian into the integer's value.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "CSMCDevice.hpp"

namespace pyrelle::csmc {

// Commands of the SMC user client (byte 42 of the block).
enum class SMCCommand : uint8_t {
    readBytes = 5,
    writeBytes = 6,
    keyAtIndex = 8,
    readKeyInfo = 9,
};

struct SMCBlock {
    uint32_t key = 0;                 // offset 0
    uint32_t dataSize = 0;            // offset 28, key info: data size
    uint32_t dataType = 0;            // offset 32, key info: data type
    uint8_t attributes = 0;           // offset 36
    uint8_t result = 0;               // offset 40, SMC result code; 0 is success
    uint8_t status = 0;               // offset 41
    uint8_t command = 0;              // offset 42
    uint32_t index = 0;               // offset 44, for the key-at-index command
    std::array<uint8_t, 32> bytes{};  // offset 48

    // The wire form; every byte not named above is zero.
    std::array<uint8_t, kBlockSize> encode() const;
    // Parses a block; nullopt unless `wire` is exactly kBlockSize bytes.
    static std::optional<SMCBlock> decode(std::span<const uint8_t> wire);

    bool operator==(const SMCBlock&) const = default;
};

// Packs the first four characters of `text` big-endian (missing characters count as NUL).
uint32_t fourCC(std::string_view text);
// The four characters of a packed code, top byte first.
std::string fourCCText(uint32_t code);

}  // namespace pyrelle::csmc
