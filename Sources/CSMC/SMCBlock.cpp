#include "SMCBlock.hpp"

namespace pyrelle::csmc {
namespace {

void putLE32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t getLE32(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

constexpr size_t kKeyOffset = 0;
constexpr size_t kDataSizeOffset = 28;
constexpr size_t kDataTypeOffset = 32;
constexpr size_t kAttributesOffset = 36;
constexpr size_t kResultOffset = 40;
constexpr size_t kStatusOffset = 41;
constexpr size_t kCommandOffset = 42;
constexpr size_t kIndexOffset = 44;
constexpr size_t kBytesOffset = 48;
static_assert(kBytesOffset + 32 == kBlockSize);

}  // namespace

std::array<uint8_t, kBlockSize> SMCBlock::encode() const {
    std::array<uint8_t, kBlockSize> wire{};
    putLE32(&wire[kKeyOffset], key);
    putLE32(&wire[kDataSizeOffset], dataSize);
    putLE32(&wire[kDataTypeOffset], dataType);
    wire[kAttributesOffset] = attributes;
    wire[kResultOffset] = result;
    wire[kStatusOffset] = status;
    wire[kCommandOffset] = command;
    putLE32(&wire[kIndexOffset], index);
    for (size_t i = 0; i < bytes.size(); ++i) wire[kBytesOffset + i] = bytes[i];
    return wire;
}

std::optional<SMCBlock> SMCBlock::decode(std::span<const uint8_t> wire) {
    if (wire.size() != kBlockSize) return std::nullopt;
    SMCBlock block;
    block.key = getLE32(&wire[kKeyOffset]);
    block.dataSize = getLE32(&wire[kDataSizeOffset]);
    block.dataType = getLE32(&wire[kDataTypeOffset]);
    block.attributes = wire[kAttributesOffset];
    block.result = wire[kResultOffset];
    block.status = wire[kStatusOffset];
    block.command = wire[kCommandOffset];
    block.index = getLE32(&wire[kIndexOffset]);
    for (size_t i = 0; i < block.bytes.size(); ++i) block.bytes[i] = wire[kBytesOffset + i];
    return block;
}

uint32_t fourCC(std::string_view text) {
    uint32_t code = 0;
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t c = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
        code = code << 8 | c;
    }
    return code;
}

std::string fourCCText(uint32_t code) {
    std::string text(4, '\0');
    for (size_t i = 0; i < 4; ++i) text[i] = static_cast<char>(code >> (24 - 8 * i));
    return text;
}

}  // namespace pyrelle::csmc
