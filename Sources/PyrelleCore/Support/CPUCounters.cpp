#include "pyrelle/CPUCounters.hpp"

namespace pyrelle {

std::optional<double> CPUCounters::usage(const CPUCounters& previous) const {
    // Unsigned 32-bit subtraction gives the right small difference across a wrap.
    const uint64_t busy = static_cast<uint32_t>(user - previous.user) +
                          static_cast<uint64_t>(static_cast<uint32_t>(system - previous.system)) +
                          static_cast<uint32_t>(nice - previous.nice);
    const uint64_t total = busy + static_cast<uint32_t>(idle - previous.idle);
    if (total == 0) return std::nullopt;
    return static_cast<double>(busy) * 100.0 / static_cast<double>(total);
}

}  // namespace pyrelle
