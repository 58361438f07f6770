#pragma once
// Who may do what on the virtual device, decided from the credentials the kernel attests for
// each connection (SO_PEERCRED: taken at connect time, not something a client can claim).
// It draws the real machine's line: every user may read SMC keys and the power manager's
// state; only root may write a key (the real SMC user client answers anyone else with
// kIOReturnNotPrivileged); control requests (load, faults, the state dump) come only from
// root or the user who started the device. Connection slots are shared so that no one user
// can take them all, and the last few are root's alone, so the privileged helper always gets
// through to hand the fans back.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>

#include "pyrelle/sim/VirtualSMC.hpp"

namespace pyrelle::sim {

class PeerPolicy {
public:
    static constexpr size_t kMaxClients = 64;      // open connections, all users together
    static constexpr size_t kReservedForRoot = 8;  // of those, the last ones only root may take
    static constexpr size_t kPerUserClients = 16;  // open connections of any one other user

    // `owner`: the user who started the device, allowed control requests besides root.
    explicit PeerPolicy(uid_t owner) : owner_(owner) {}

    uid_t owner() const { return owner_; }

    // Whether a new connection of `peer` may be served while `open` connections are served,
    // `openOfPeer` of them the peer's own.
    bool admits(uid_t peer, size_t open, size_t openOfPeer) const;

    // The answer given in the device's stead when `peer` may not make this request (the
    // device never sees it, so nothing is counted or changed); absent when it may.
    std::optional<VirtualSMC::Response> refusal(uid_t peer, uint32_t selector,
                                                std::span<const uint8_t> payload) const;

private:
    uid_t owner_;
};

}  // namespace pyrelle::sim
