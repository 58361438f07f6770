#include "pyrelle/sim/SMCBlock.hpp"

#include <algorithm>

namespace pyrelle::sim {

namespace {

uint32_t get32(std::span<const uint8_t> raw, size_t at) {
    return uint32_t(raw[at]) | uint32_t(raw[at + 1]) << 8 | uint32_t(raw[at + 2]) << 16 |
           uint32_t(raw[at + 3]) << 24;
}

void put32(std::vector<uint8_t>& raw, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) raw[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::optional<SMCBlock> SMCBlock::parse(std::span<const uint8_t> raw) {
    if (raw.size() != kSize) return std::nullopt;
    SMCBlock block;
    block.key = FourCC(get32(raw, kKeyOffset));
    block.dataSize = get32(raw, kDataSizeOffset);
    block.dataType = FourCC(get32(raw, kDataTypeOffset));
    block.attributes = raw[kAttributesOffset];
    block.result = raw[kResultOffset];
    block.command = raw[kCommandOffset];
    block.index = get32(raw, kIndexOffset);
    std::copy_n(raw.begin() + kBytesOffset, block.bytes.size(), block.bytes.begin());
    return block;
}

std::vector<uint8_t> SMCBlock::serialize() const {
    std::vector<uint8_t> raw(kSize, 0);
    put32(raw, kKeyOffset, key.value);
    put32(raw, kDataSizeOffset, dataSize);
    put32(raw, kDataTypeOffset, dataType.value);
    raw[kAttributesOffset] = attributes;
    raw[kResultOffset] = result;
    raw[kCommandOffset] = command;
    put32(raw, kIndexOffset, index);
    std::copy(bytes.begin(), bytes.end(), raw.begin() + kBytesOffset);
    return raw;
}

}  // namespace pyrelle::sim
