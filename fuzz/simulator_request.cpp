// Fuzzes the virtual SMC device's request parsing: the socket framing, then every selector's
// payload (80-byte blocks, control JSON, power-manager requests) against one device. The
// device must answer every input with a status and never crash or hang.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pyrelle/sim/VirtualSMC.hpp"
#include "pyrelle/sim/WireFormat.hpp"

namespace {

pyrelle::sim::VirtualSMC& device() {
    // A fixed clock keeps runs reproducible; one device lives across inputs so state built by
    // earlier inputs (faults, manual fans) meets later ones, as on a real socket.
    static auto instance = std::make_unique<pyrelle::sim::VirtualSMC>(
        *pyrelle::sim::Profile::named("apple-m4-pro"), [] { return 1000.0; });
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pyrelle::sim;
    auto& smc = device();
    std::span<const uint8_t> rest(data, size);
    // The input is a stream of frames, as a client would send them.
    for (int frames = 0; frames < 16; ++frames) {
        const auto parsed = WireFormat::parse(rest, 4096);
        if (parsed.outcome != WireFormat::Parse::complete) break;
        rest = rest.subspan(parsed.consumed);
        // Mostly the three real selectors, so most inputs reach a parser; now and then the
        // raw word, so unknown selectors are exercised too.
        static constexpr uint32_t kSelectors[] = {2, 16, 17};
        const uint32_t word = parsed.frame.word;
        const uint32_t selector = word >= 0x100 ? kSelectors[word % 3] : word;
        const auto response = smc.handle(selector, parsed.frame.payload);
        if (response.payload.size() > WireFormat::kMaxPayload) __builtin_trap();
    }
    // Keep the device from collecting faults forever across inputs.
    if (size > 0 && data[0] == 0xFF) smc.control({{"op", "clear-faults"}});
    return 0;
}
