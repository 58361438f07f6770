#pragma once
// The device's own conversion between numbers and SMC value bytes for every data type the
// profiles use (fixed point, integers, "flt ", "flag", "ioft"). Independent of the shim's codec
// so the device can model keys the shim cannot decode.

#include <array>
#include <cstdint>
#include <optional>

#include "pyrelle/sim/FourCC.hpp"

namespace pyrelle::sim::ValueCodec {

using Bytes = std::array<uint8_t, 32>;

// The natural size of a type, or absent when the type carries opaque bytes of any size.
std::optional<uint32_t> naturalSize(FourCC type);

// Encodes `number` (clamped to the type's range) into `type`; absent for types that do not
// hold a number (text, opaque structures) or a size that does not fit the type.
std::optional<Bytes> encode(FourCC type, uint32_t size, double number);

// Decodes bytes of `type`; absent for non-numeric types or a mismatched size.
std::optional<double> decode(FourCC type, uint32_t size, const Bytes& bytes);

}  // namespace pyrelle::sim::ValueCodec
