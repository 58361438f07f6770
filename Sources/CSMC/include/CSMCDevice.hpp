#pragma once
// The shim's one device seam. Every SMC user-client call (and the virtual Mac's control and
// power-manager requests) is one exchange with a `Device`: the virtual SMC device over a
// Unix socket, the kernel's SMC driver tree of a real Mac running Linux (both chosen by
// PYRELLE_SMC_DEVICE, or PYRELLE_SMC_SOCKET), or an in-process device installed by tests.
// With none, there is no SMC service and pyr_smc_open() returns 0.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace pyrelle::csmc {

// Exchange selectors, as on the wire.
inline constexpr uint32_t kSelectorUserClient = 2;  // 80-byte SMC block in, output block out
inline constexpr uint32_t kSelectorControl = 16;    // JSON control request (tests, demo)
inline constexpr uint32_t kSelectorPowerManager =
    17;  // JSON power-manager state of the virtual Mac

inline constexpr size_t kBlockSize = 80;

// Largest request or response payload the shim sends or accepts, so a hostile device cannot
// make it allocate without bound.
inline constexpr size_t kMaxPayload = 1 << 20;

// One device able to answer exchanges. Implementations must be safe to call from several
// threads at once (the shim itself does not serialise callers).
class Device {
public:
    virtual ~Device() = default;

    // Performs one request/response exchange. Returns the status: 0 on success, otherwise a
    // kernel-style status that the shim passes through unchanged (except values in -3...-1
    // and 1...255, which the SMC functions report as PYR_KERN_IPC_ERROR so they cannot be
    // mistaken for the shim's own codes or an SMC result byte). `reply` receives the
    // response payload (for selector 2 normally exactly 80 bytes).
    virtual int32_t exchange(uint32_t selector, std::span<const uint8_t> request,
                             std::vector<uint8_t>& reply) = 0;

    // Performs one exchange per request, in order, storing each status and reply at the
    // request's index: the outcome is that of calling exchange() for each in turn. A device
    // may overlap them (the socket sends later requests before earlier replies arrive); the
    // default performs them one after another. The three spans have the same length.
    virtual void exchangeAll(uint32_t selector, std::span<const std::span<const uint8_t>> requests,
                             std::span<int32_t> statuses, std::span<std::vector<uint8_t>> replies);
};

// Installs `device` as the in-process SMC service for every later pyr_smc_open(); it takes
// precedence over PYRELLE_SMC_SOCKET. Pass nullptr to remove it. Connections opened before
// keep the device they were opened with.
void installDevice(std::shared_ptr<Device> device);

// Counts exchanges made through the shim (every provider), so tests can assert that an
// argument check made no user-client call.
uint64_t exchangeCount();
void resetExchangeCount();

// One exchange with the currently configured virtual Mac: the installed in-process device,
// else the chosen socket over one connection kept for these exchanges (made
// again when the path changes or the previous one broke).
// Returns the device's status, or a kernel-style status of the shim (PYR_KERN_NO_DEVICE
// when neither is configured, PYR_KERN_NOT_RESPONDING when the socket cannot be reached or
// drops, PYR_KERN_TIMEOUT, PYR_KERN_MESSAGE_TOO_LARGE). `reply` is cleared first.
int32_t deviceExchange(uint32_t selector, std::span<const uint8_t> request,
                       std::vector<uint8_t>& reply);

// A socket device that has just cost deviceExchange() a timeout (or could not be reached) is
// not asked again for one exchange timeout: until then deviceExchange() answers
// PYR_KERN_NOT_RESPONDING at once. So a device that accepts connections and never answers
// costs a sample at most one timeout, however many power-manager questions the sample asks.
// The hold-off runs on `clock` (steady time by default; nullptr restores it), so tests can
// hold time still.
using ProbeClock = std::chrono::steady_clock::time_point (*)();
void setProbeClock(ProbeClock clock);

// True when an in-process device is installed or the environment chooses a socket (whether
// or not anything listens there). A kernel driver tree is a real Mac, not a virtual one: the
// power-manager probes then read the host.
bool deviceConfigured();

// While a ProbeBatch is alive on a thread, the power-manager probes of that thread
// (pyr_power_status, pyr_ac_power, pyr_thermal_state, ...) ask the virtual Mac once, at the
// first of them, and answer the rest from that reply: one sample's questions are about one
// moment, and each would otherwise cost a round trip. Batches nest; only the outermost one
// holds a reply. Without a virtual Mac they change nothing.
class ProbeBatch {
public:
    ProbeBatch();
    ~ProbeBatch();
    ProbeBatch(const ProbeBatch&) = delete;
    ProbeBatch& operator=(const ProbeBatch&) = delete;
};

// Bound on one whole socket exchange (sending the request and receiving the full reply) and
// on connecting. Default 2 seconds; tests shorten it.
inline constexpr std::chrono::milliseconds kDefaultExchangeTimeout{2000};
void setExchangeTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds exchangeTimeout();

}  // namespace pyrelle::csmc
