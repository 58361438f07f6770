#pragma once
// Which device a new SMC connection would reach, told apart from any other device that may
// later answer at the same address: the file-system identity of the chosen socket, or of the
// chosen kernel driver tree's directory.

#include <cstdint>
#include <optional>

namespace pyrelle::csmc {

struct DeviceIdentity {
    uint64_t device = 0;  // st_dev
    uint64_t inode = 0;   // st_ino
    bool operator==(const DeviceIdentity&) const = default;
};

// The identity of the device chosen by the environment now (PYRELLE_SMC_DEVICE, else
// PYRELLE_SMC_SOCKET, else the first standard driver tree). Absent when nothing is chosen,
// the path is gone, or it is a socket that nobody listens on any more (the device process
// has ended: a new one would make a new socket, hence a new identity). The lookup uses the
// calling thread's file-system identity.
std::optional<DeviceIdentity> chosenDeviceIdentity();

}  // namespace pyrelle::csmc
