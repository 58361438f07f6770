#pragma once
// Framing of the virtual device's Unix-socket protocol. Every integer is little-endian.
// Request: u32 selector, u32 length, payload. Response: i32 status, u32 length, payload.

#include <cstdint>
#include <span>
#include <vector>

namespace pyrelle::sim::WireFormat {

inline constexpr size_t kHeaderSize = 8;
// Largest payload either side accepts; control replies (a full state dump) stay far below.
inline constexpr uint32_t kMaxPayload = 1u << 20;

struct Frame {
    uint32_t word = 0;  // the selector of a request, the status (as unsigned) of a response
    std::vector<uint8_t> payload;
};

enum class Parse { complete, incomplete, tooLarge };

struct Parsed {
    Parse outcome = Parse::incomplete;
    size_t consumed = 0;  // bytes of `data` the complete frame occupied
    Frame frame;
};

// Reads one frame from the front of `data`, either direction (the layouts agree).
Parsed parse(std::span<const uint8_t> data, uint32_t maxPayload = kMaxPayload);

uint32_t get32(const uint8_t* p);
void put32(uint8_t* p, uint32_t value);

std::vector<uint8_t> encode(uint32_t word, std::span<const uint8_t> payload);

}  // namespace pyrelle::sim::WireFormat
