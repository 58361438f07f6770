#include "pyrelle/sim/ValueCodec.hpp"

#include <cmath>
#include <cstring>
#include <string>

namespace pyrelle::sim::ValueCodec {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Fixed point "fpXY" / "spXY": X integer bits, Y fraction bits.
struct Fixed {
    bool isSigned;
    int fraction;
};

std::optional<Fixed> fixedPoint(const std::string& t) {
    if (t.size() != 4 || t[1] != 'p' || (t[0] != 'f' && t[0] != 's')) return std::nullopt;
    const int i = hexDigit(t[2]), f = hexDigit(t[3]);
    if (i < 0 || f < 0) return std::nullopt;
    const bool isSigned = t[0] == 's';
    if (i + f != (isSigned ? 15 : 16)) return std::nullopt;
    return Fixed{isSigned, f};
}

void putBig(Bytes& out, uint64_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
}

uint64_t getBig(const Bytes& in, uint32_t size) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < size; ++i) value = (value << 8) | in[i];
    return value;
}

double clamp(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

std::optional<uint32_t> naturalSize(FourCC type) {
    const std::string t = type.text();
    if (fixedPoint(t)) return 2;
    if (t == "ui8 " || t == "si8 " || t == "flag") return 1;
    if (t == "ui16" || t == "si16") return 2;
    if (t == "ui32" || t == "si32" || t == "flt ") return 4;
    if (t == "ioft" || t == "ui64") return 8;
    return std::nullopt;
}

std::optional<Bytes> encode(FourCC type, uint32_t size, double number) {
    if (!std::isfinite(number)) return std::nullopt;
    const std::string t = type.text();
    const auto natural = naturalSize(type);
    if (!natural || *natural != size) return std::nullopt;
    Bytes out{};
    if (const auto fixed = fixedPoint(t)) {
        const double scaled = std::round(number * std::ldexp(1.0, fixed->fraction));
        if (fixed->isSigned) {
            const auto v = static_cast<int16_t>(clamp(scaled, -32768, 32767));
            putBig(out, static_cast<uint16_t>(v), 2);
        } else {
            putBig(out, static_cast<uint16_t>(clamp(scaled, 0, 65535)), 2);
        }
    } else if (t == "ui8 " || t == "flag") {
        out[0] = static_cast<uint8_t>(clamp(std::trunc(number), 0, 255));
    } else if (t == "si8 ") {
        out[0] = static_cast<uint8_t>(static_cast<int8_t>(clamp(std::trunc(number), -128, 127)));
    } else if (t == "ui16") {
        putBig(out, static_cast<uint16_t>(clamp(std::trunc(number), 0, 65535)), 2);
    } else if (t == "si16") {
        putBig(
            out,
            static_cast<uint16_t>(static_cast<int16_t>(clamp(std::trunc(number), -32768, 32767))),
            2);
    } else if (t == "ui32") {
        putBig(out, static_cast<uint32_t>(clamp(std::trunc(number), 0, 4294967295.0)), 4);
    } else if (t == "si32") {
        putBig(out,
               static_cast<uint32_t>(
                   static_cast<int32_t>(clamp(std::trunc(number), -2147483648.0, 2147483647.0))),
               4);
    } else if (t == "flt ") {
        const float f = static_cast<float>(clamp(number, -3.0e38, 3.0e38));
        std::memcpy(out.data(), &f, 4);  // host order, as the SMC of the target machines keeps it
    } else if (t == "ioft") {
        // 48.16 unsigned fixed point, little-endian: opaque to the shim's codec.
        const auto v = static_cast<uint64_t>(clamp(number, 0, 1.0e12) * 65536.0);
        for (int i = 0; i < 8; ++i)
            out[static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    } else if (t == "ui64") {
        putBig(out, static_cast<uint64_t>(clamp(std::trunc(number), 0, 1.8e19)), 8);
    } else {
        return std::nullopt;
    }
    return out;
}

std::optional<double> decode(FourCC type, uint32_t size, const Bytes& in) {
    const std::string t = type.text();
    const auto natural = naturalSize(type);
    if (!natural || *natural != size) return std::nullopt;
    if (const auto fixed = fixedPoint(t)) {
        const auto raw = static_cast<uint16_t>(getBig(in, 2));
        const double v = fixed->isSigned ? static_cast<double>(static_cast<int16_t>(raw)) : raw;
        return std::ldexp(v, -fixed->fraction);
    }
    if (t == "ui8 " || t == "flag") return in[0];
    if (t == "si8 ") return static_cast<int8_t>(in[0]);
    if (t == "ui16") return static_cast<double>(getBig(in, 2));
    if (t == "si16") return static_cast<int16_t>(static_cast<uint16_t>(getBig(in, 2)));
    if (t == "ui32") return static_cast<double>(getBig(in, 4));
    if (t == "si32") return static_cast<int32_t>(static_cast<uint32_t>(getBig(in, 4)));
    if (t == "flt ") {
        float f;
        std::memcpy(&f, in.data(), 4);
        return f;
    }
    if (t == "ioft") {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | in[static_cast<size_t>(i)];
        return static_cast<double>(v) / 65536.0;
    }
    if (t == "ui64") return static_cast<double>(getBig(in, 8));
    return std::nullopt;
}

}  // namespace pyrelle::sim::ValueCodec
