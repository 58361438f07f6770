#pragma once
// The SMC of a real Mac running Linux, reached through the attribute files that the kernel's
// SMC driver publishes: `applesmc` on Intel Macs, `macsmc-hwmon` on Apple Silicon Macs. It
// answers 80-byte user-client blocks the way the SMC does, for the keys the tree offers:
// "#KEY", "FNum", per fan F{n}Ac/Mn/Mx/Tg (and F{n}Md where the driver has a documented
// manual switch), and every sensor whose label is an SMC key.
//
// Every value is read from its file at the moment it is asked for; a file that cannot be
// read or does not hold a plain integer answers kIOError, never a number. Writes reach the
// tree only for a fan's target and mode, and only where the driver's control semantics are
// documented (applesmc); everything else is refused with the SMC's result codes.
//
// Thread-safe: the key table is fixed when the device is opened, and every exchange is its
// own file operation.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "CSMCDevice.hpp"

namespace pyrelle::csmc {

enum class KernelDriver { applesmc, macsmc };

class KernelTreeDevice final : public Device {
public:
    // Kernel-style status of an exchange whose attribute file could not be read or written
    // or held no usable number (IOKit's "I/O error").
    static constexpr int32_t kIOError = static_cast<int32_t>(0xE00002CAu);
    // Status of a selector this device does not serve (the virtual Mac's control and
    // power-manager requests).
    static constexpr int32_t kUnsupported = static_cast<int32_t>(0xE00002C7u);

    // Takes ownership of `directory` (an open directory descriptor of the driver's tree) and
    // builds the key table from the files present. When `rootOwnedOnly` is set, every
    // attribute file must belong to root and be writable by nobody else, or it is treated
    // as unreadable (a tree assembled by an unprivileged caller never drives the fans).
    // nullptr when the tree offers neither a fan nor a sensor.
    static std::shared_ptr<KernelTreeDevice> open(KernelDriver driver, int directory,
                                                  bool rootOwnedOnly);
    ~KernelTreeDevice() override;
    KernelTreeDevice(const KernelTreeDevice&) = delete;
    KernelTreeDevice& operator=(const KernelTreeDevice&) = delete;

    int32_t exchange(uint32_t selector, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override;

    KernelDriver driver() const { return driver_; }

    // How one key's value is kept in the tree.
    enum class Source : uint8_t {
        constant,     // computed when the tree was opened ("#KEY", "FNum")
        rpm,          // a file of whole revolutions per minute
        milli,        // a file of thousandths (millidegrees, millivolts, milliamperes)
        micro,        // a file of millionths (microwatts)
        manualSwitch  // a file holding 0 (automatic) or 1 (manual)
    };
    struct Entry {
        uint32_t key = 0;
        uint32_t type = 0;
        uint32_t size = 0;
        Source source = Source::constant;
        std::string file;  // attribute file name inside the tree
        bool writable = false;
        uint32_t constant = 0;
    };

private:
    KernelTreeDevice(KernelDriver driver, int directory, bool rootOwnedOnly)
        : driver_(driver), directory_(directory), rootOwnedOnly_(rootOwnedOnly) {}

    const Entry* find(uint32_t key) const;
    // The attribute's integer, or nullopt when the file cannot be read or holds no integer.
    std::optional<long long> readInteger(const std::string& file) const;
    bool writeInteger(const std::string& file, long long value) const;
    // The first line of a label file, or nullopt.
    std::optional<std::string> readLine(const std::string& file) const;
    int openAttribute(const std::string& file, int flags) const;

    // Fills `out` with the entry's current bytes: 0, an SMC result byte, or kIOError.
    int32_t readValue(const Entry& entry, std::array<uint8_t, 32>& out) const;
    int32_t writeValue(const Entry& entry, uint32_t size, const std::array<uint8_t, 32>& in) const;
    void build();

    KernelDriver driver_;
    int directory_;
    bool rootOwnedOnly_;
    std::vector<Entry> entries_;  // sorted by key, as the SMC lists its keys
};

}  // namespace pyrelle::csmc
