#pragma once
// The SMC of a real Mac running Linux, reached through the attribute files that the kernel's
// SMC driver publishes: `applesmc` on Intel Macs (its platform device, the ACPI device of T2
// Macs, or a hwmon device of its own), `macsmc-hwmon` on Apple Silicon Macs. It answers
// 80-byte user-client blocks the way the SMC does, for the keys the tree offers: "#KEY",
// "FNum", per fan F{n}Ac/Mn/Mx/Tg (and F{n}Md where the driver has a documented manual
// switch), every sensor channel whose key is known (a label that is a key, the device
// tree's label→key pairs, or the pairs of the device trees Linux ships), and on applesmc
// every other key of the SMC through its raw key interface (read only).
//
// Every value is read from its file at the moment it is asked for; a file that cannot be
// read or does not hold what the driver prints answers kIOError, never a number. An `EIO`
// (the driver's port I/O failing once) is tried again a few times within about 100 ms; any
// other error is final at once. Writes reach the tree only for a fan's target and mode, and
// only where the driver's control semantics are documented and can be read back (applesmc);
// everything else is refused with the SMC's result codes.
//
// Thread-safe: the key table is fixed when the device is opened, and every exchange is its
// own file operation (the raw key interface's shared index under a process-wide lock).

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "AttributeFiles.hpp"
#include "CSMCDevice.hpp"
#include "RawKeyTable.hpp"

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

    // The pauses between tries of an attribute operation that failed with EIO: the operation
    // is tried once more after each, and then its EIO is final.
    static constexpr std::array<std::chrono::milliseconds, 3> kRetryPauses{
        std::chrono::milliseconds(10), std::chrono::milliseconds(30),
        std::chrono::milliseconds(60)};
    using Pause = std::function<void(std::chrono::milliseconds)>;

    // Builds the key table from what `files` offers; `pause` (default: sleep) waits between
    // the tries of a failing operation. nullptr when the tree offers neither a fan nor a
    // sensor.
    static std::shared_ptr<KernelTreeDevice> open(KernelDriver driver,
                                                  std::unique_ptr<AttributeFiles> files,
                                                  Pause pause = {});
    // The same over the open directory `directory` (owned by the device); see directoryFiles()
    // for `rootOwnedOnly`.
    static std::shared_ptr<KernelTreeDevice> open(KernelDriver driver, int directory,
                                                  bool rootOwnedOnly);
    KernelTreeDevice(const KernelTreeDevice&) = delete;
    KernelTreeDevice& operator=(const KernelTreeDevice&) = delete;

    int32_t exchange(uint32_t selector, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override;

    KernelDriver driver() const { return driver_; }

    // How one key's value is kept in the tree.
    enum class Source : uint8_t {
        constant,      // computed when the tree was opened ("#KEY", "FNum")
        rpm,           // a file of whole revolutions per minute
        milli,         // a file of thousandths (millidegrees, millivolts, milliamperes)
        micro,         // a file of millionths (microwatts)
        manualSwitch,  // fanN_manual: 0 automatic, 1 manual (T2: the mode byte as the SMC has it)
        pwmEnable,     // pwmN_enable: 1 manual, 2 or more automatic
        raw            // applesmc's raw key interface
    };
    struct Entry {
        uint32_t key = 0;
        uint32_t type = 0;
        uint32_t size = 0;
        Source source = Source::constant;
        std::string file;  // attribute file name inside the tree
        bool writable = false;
        uint32_t constant = 0;
        RawKeyTable::Key raw;  // for Source::raw
    };

private:
    KernelTreeDevice(KernelDriver driver, std::unique_ptr<AttributeFiles> files, Pause pause)
        : driver_(driver), files_(std::move(files)), pause_(std::move(pause)) {}

    // Runs `operation`, again after each of kRetryPauses while it answers EIO.
    int attempt(const std::function<int()>& operation) const;
    const Entry* find(uint32_t key) const;
    // The attribute's integer, or nullopt when it cannot be read or holds no integer.
    std::optional<long long> readInteger(const std::string& file) const;
    // 0, or the errno value of the store.
    int writeInteger(const std::string& file, long long value) const;
    // The first line of a label file, or nullopt.
    std::optional<std::string> readLine(const std::string& file) const;

    // Fills `out` with the entry's current bytes: 0, an SMC result byte, or kIOError.
    int32_t readValue(const Entry& entry, std::array<uint8_t, 32>& out) const;
    int32_t writeValue(const Entry& entry, uint32_t size, const std::array<uint8_t, 32>& in) const;
    void build();
    void buildFans(std::map<uint32_t, Entry>& table, const std::vector<RawKeyTable::Key>* raw);
    void buildSensors(std::map<uint32_t, Entry>& table);

    KernelDriver driver_;
    std::unique_ptr<AttributeFiles> files_;
    Pause pause_;
    int fans_ = 0;
    std::vector<Entry> entries_;  // sorted by key, as the SMC lists its keys
};

}  // namespace pyrelle::csmc
