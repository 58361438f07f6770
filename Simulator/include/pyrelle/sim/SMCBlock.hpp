#pragma once
// The 80-byte block of the SMC user client (selector 2): field offsets, commands, SMC result
// codes and the kernel-style statuses the virtual device answers with.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "pyrelle/sim/FourCC.hpp"

namespace pyrelle::sim {

// Kernel-style statuses (IOKit's numbering) returned as the exchange status.
namespace status {
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kError = static_cast<int32_t>(0xE00002BCu);          // general failure
inline constexpr int32_t kBadArgument = static_cast<int32_t>(0xE00002C2u);    // malformed request
inline constexpr int32_t kUnsupported = static_cast<int32_t>(0xE00002C7u);    // unknown selector
inline constexpr int32_t kNotPrivileged = static_cast<int32_t>(0xE00002C1u);  // caller not allowed
inline constexpr int32_t kNotResponding = static_cast<int32_t>(0xE00002EDu);  // device went away
}  // namespace status

// SMC result bytes (offset 40 of the output block).
namespace smcResult {
inline constexpr uint8_t kSuccess = 0x00;
inline constexpr uint8_t kBadCommand = 0x82;  // also: the controller refuses the request now
inline constexpr uint8_t kKeyNotFound = 0x84;
inline constexpr uint8_t kKeyNotReadable = 0x85;
inline constexpr uint8_t kKeyNotWritable = 0x86;
inline constexpr uint8_t kKeySizeMismatch = 0x87;
inline constexpr uint8_t kBadArgument = 0x89;
inline constexpr uint8_t kKeyIndexRange = 0xB8;
}  // namespace smcResult

enum class SMCCommand : uint8_t {
    readBytes = 5,
    writeBytes = 6,
    keyAtIndex = 8,
    readKeyInfo = 9,
};

struct SMCBlock {
    static constexpr size_t kSize = 80;
    static constexpr size_t kKeyOffset = 0;
    static constexpr size_t kDataSizeOffset = 28;
    static constexpr size_t kDataTypeOffset = 32;
    static constexpr size_t kAttributesOffset = 36;
    static constexpr size_t kResultOffset = 40;
    static constexpr size_t kStatusOffset = 41;
    static constexpr size_t kCommandOffset = 42;
    static constexpr size_t kIndexOffset = 44;
    static constexpr size_t kBytesOffset = 48;

    FourCC key;
    uint32_t dataSize = 0;
    FourCC dataType;
    uint8_t attributes = 0;
    uint8_t result = 0;
    uint8_t command = 0;
    uint32_t index = 0;
    std::array<uint8_t, 32> bytes{};

    // Parses a block; absent unless `raw` is exactly 80 bytes.
    static std::optional<SMCBlock> parse(std::span<const uint8_t> raw);
    // The 80-byte wire form (integers little-endian, reserved fields zero).
    std::vector<uint8_t> serialize() const;
};

}  // namespace pyrelle::sim
