#include "pyrelle/sim/PeerPolicy.hpp"

#include <string>

#include <nlohmann/json.hpp>

#include "pyrelle/sim/SMCBlock.hpp"

namespace pyrelle::sim {

namespace {

constexpr uid_t kRoot = 0;

// The commands that only look: reading a key's description, its bytes, or the key list.
bool readsOnly(uint8_t command) {
    switch (static_cast<SMCCommand>(command)) {
        case SMCCommand::readBytes:
        case SMCCommand::keyAtIndex:
        case SMCCommand::readKeyInfo: return true;
        default: return false;
    }
}

}  // namespace

bool PeerPolicy::admits(uid_t peer, size_t open, size_t openOfPeer) const {
    if (peer == kRoot) return open < kMaxClients;
    return open < kMaxClients - kReservedForRoot && openOfPeer < kPerUserClients;
}

std::optional<VirtualSMC::Response> PeerPolicy::refusal(uid_t peer, uint32_t selector,
                                                        std::span<const uint8_t> payload) const {
    if (peer == kRoot) return std::nullopt;
    switch (selector) {
        case csmc::kSelectorUserClient: {
            // Anything but a read needs root: writes, and commands the device does not know.
            // A block that does not parse is left to the device, which refuses it anyway.
            const auto block = SMCBlock::parse(payload);
            if (!block || readsOnly(block->command)) return std::nullopt;
            return VirtualSMC::Response{status::kNotPrivileged, {}, false};
        }
        case csmc::kSelectorControl: {
            if (peer == owner_) return std::nullopt;
            const std::string body = nlohmann::json{
                {"ok", false},
                {"error",
                 "control requests are for root and the device's owner "
                 "(uid " +
                     std::to_string(owner_) +
                     ")"}}.dump();
            return VirtualSMC::Response{status::kNotPrivileged, {body.begin(), body.end()}, false};
        }
        default: return std::nullopt;  // the power manager's state is open to every user
    }
}

}  // namespace pyrelle::sim
