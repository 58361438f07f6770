// The SMC value codec: SMC bytes to a number and back. Byte order is the SMC's (big-endian)
// except for "flt ", which the SMC keeps in the host's order.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>

#include "CSMC.h"

// The record crosses the C boundary; its layout is fixed.
static_assert(sizeof(PYRValue) == 40 && offsetof(PYRValue, type) == 4 &&
              offsetof(PYRValue, bytes) == 8);

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

char typeChar(uint32_t type, int position) {
    return static_cast<char>(type >> (24 - 8 * position));
}

// A lower-case hexadecimal digit's value; nullopt for anything else (upper case included).
std::optional<int> hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return std::nullopt;
}

// For "fpIF"/"spIF" with i + f equal to `bits`: the number of fraction bits.
std::optional<int> fractionBits(uint32_t type, char first, int bits) {
    if (typeChar(type, 0) != first || typeChar(type, 1) != 'p') return std::nullopt;
    const auto integer = hexDigit(typeChar(type, 2));
    const auto fraction = hexDigit(typeChar(type, 3));
    if (!integer || !fraction || *integer + *fraction != bits) return std::nullopt;
    return fraction;
}

uint16_t be16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t be32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

void putBE16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

}  // namespace

extern "C" double pyr_decode(const PYRValue* value) {
    if (value == nullptr) return kNaN;
    const uint32_t type = value->type;
    const uint32_t size = value->size;
    const uint8_t* bytes = value->bytes;
    if (auto fraction = fractionBits(type, 'f', 16)) {
        return size == 2 ? std::ldexp(static_cast<double>(be16(bytes)), -*fraction) : kNaN;
    }
    if (auto fraction = fractionBits(type, 's', 15)) {
        if (size != 2) return kNaN;
        const auto raw = static_cast<int16_t>(be16(bytes));
        return std::ldexp(static_cast<double>(raw), -*fraction);
    }
    switch (type) {
        case PYR_TYPE_UI8: return size == 1 ? static_cast<double>(bytes[0]) : kNaN;
        case PYR_TYPE_UI16: return size == 2 ? static_cast<double>(be16(bytes)) : kNaN;
        case PYR_TYPE_UI32: return size == 4 ? static_cast<double>(be32(bytes)) : kNaN;
        case PYR_TYPE_FLT: {
            if (size != 4) return kNaN;
            float number;
            std::memcpy(&number, bytes, sizeof(number));
            return static_cast<double>(number);
        }
        default: return kNaN;
    }
}

extern "C" int32_t pyr_encode(PYRValue* value, double number) {
    if (value == nullptr || !std::isfinite(number) || number < 0) return PYR_CODEC_UNUSABLE_NUMBER;
    uint8_t* bytes = value->bytes;
    switch (value->type) {
        case PYR_TYPE_UI8:
            if (number > 255 || value->size != 1) return PYR_CODEC_UNSUPPORTED;
            bytes[0] = static_cast<uint8_t>(number);
            return PYR_CODEC_SUCCESS;
        case PYR_TYPE_UI16:
            if (number > 65535 || value->size != 2) return PYR_CODEC_UNSUPPORTED;
            putBE16(bytes, static_cast<uint16_t>(number));
            return PYR_CODEC_SUCCESS;
        case PYR_TYPE_FLT: {
            if (number > 20000 || value->size != 4) return PYR_CODEC_UNSUPPORTED;
            const auto single = static_cast<float>(number);
            std::memcpy(bytes, &single, sizeof(single));
            return PYR_CODEC_SUCCESS;
        }
        case PYR_TYPE_FPE2:
            if (number > 16383.75 || value->size != 2) return PYR_CODEC_UNSUPPORTED;
            putBE16(bytes, static_cast<uint16_t>(std::round(number * 4)));
            return PYR_CODEC_SUCCESS;
        default: return PYR_CODEC_UNSUPPORTED;
    }
}
