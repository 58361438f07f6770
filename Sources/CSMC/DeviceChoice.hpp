#pragma once
// Which SMC service a new connection reaches, and how it is reached safely.
//
// PYRELLE_SMC_DEVICE chooses: `socket:PATH` (a virtual Mac), `applesmc:DIR` (the applesmc
// driver's tree of an Intel Mac running Linux) or `macsmc:DIR` (the macsmc-hwmon tree of an
// Apple Silicon Mac running Linux). Any other value means no SMC service: a mistyped choice
// never falls back to some other device. Unset, PYRELLE_SMC_SOCKET names a virtual Mac as
// before; with neither, the standard sysfs locations of both drivers are probed and the
// first found is used.
//
// Privileged execution (the kernel marked the exec secure, or the real and effective ids
// differ): the caller must not aim a root helper at what the caller could not open itself
// or has made. A socket is then connected, and a tree's directory opened, with the caller's
// file-system identity (its real user and group, no supplementary groups), so a path the
// caller cannot reach fails; a tree must also be root's and writable by nobody else, down to
// each attribute file, so a tree of the caller's making is refused.

#include <chrono>
#include <memory>
#include <string>

#include "CSMCDevice.hpp"
#include "SocketDevice.hpp"

namespace pyrelle::csmc {

struct DeviceChoice {
    enum class Kind { none, socket, applesmc, macsmc };
    Kind kind = Kind::none;
    std::string path;
    // False when nothing was chosen at all, so the standard locations may be probed.
    bool explicitChoice = false;

    bool operator==(const DeviceChoice&) const = default;
};

// The choice made by the two variables' values (either may be null); no probing.
DeviceChoice parseDeviceChoice(const char* device, const char* socket);
// The choice made by the process environment; no probing.
DeviceChoice environmentChoice();
// The first driver tree found below `sysRoot` (normally "/sys"): applesmc, found through the
// hwmon class (a hwmon device named applesmc, or the device behind a hwmon entry whose driver
// or `name` is applesmc: the platform device applesmc.768, the ACPI device APP0001:00 of T2
// Macs), else at those two devices' own places; then a hwmon device named macsmc_hwmon.
// Kind none when there is neither.
DeviceChoice probeStandardTrees(const std::string& sysRoot);

// True when this process runs with privileges its caller does not have.
bool secureExecution();

// Connects to the socket at `path`, as the caller when `secure`; nullptr when that fails.
std::shared_ptr<SocketDevice> connectSocket(const std::string& path,
                                            std::chrono::milliseconds timeout, bool secure);

// Opens the device of `choice` under the rules above; nullptr when that fails or the choice
// is none. `secure` is normally secureExecution().
std::shared_ptr<Device> openChosenDevice(const DeviceChoice& choice,
                                         std::chrono::milliseconds timeout, bool secure);

}  // namespace pyrelle::csmc
