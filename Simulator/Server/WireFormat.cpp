#include "pyrelle/sim/WireFormat.hpp"

#include <algorithm>

namespace pyrelle::sim::WireFormat {

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

Parsed parse(std::span<const uint8_t> data, uint32_t maxPayload) {
    Parsed out;
    if (data.size() < kHeaderSize) return out;
    const uint32_t length = get32(data.data() + 4);
    if (length > maxPayload) {
        out.outcome = Parse::tooLarge;
        return out;
    }
    if (data.size() - kHeaderSize < length) return out;
    out.outcome = Parse::complete;
    out.consumed = kHeaderSize + length;
    out.frame.word = get32(data.data());
    out.frame.payload.assign(data.begin() + kHeaderSize,
                             data.begin() + static_cast<std::ptrdiff_t>(out.consumed));
    return out;
}

std::vector<uint8_t> encode(uint32_t word, std::span<const uint8_t> payload) {
    std::vector<uint8_t> out(kHeaderSize + payload.size());
    put32(out.data(), word);
    put32(out.data() + 4, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), out.begin() + kHeaderSize);
    return out;
}

}  // namespace pyrelle::sim::WireFormat
