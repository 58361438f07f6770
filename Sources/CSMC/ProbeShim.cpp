// The pyr_ system probes. The power-manager values come from the virtual Mac while one is
// configured (its selector-17 state), otherwise from the Linux readers; the kernel's own
// accounting always comes from the host.

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "CSMCDevice.hpp"
#include "CSMCProbes.h"
#include "ProbeLinux.hpp"

namespace {

constexpr const char* kHostRoot = "/";

// The process-wide stop flag: written only by stopHandler, read only by pyr_should_stop,
// never reset.
volatile sig_atomic_t stopRequested = 0;

// The virtual Mac's power-manager state. A key it leaves out is not supplied (-1).
struct VirtualMacState {
    int32_t speedLimit = -1, schedulerLimit = -1, availableCPUs = -1, totalCPUs = -1;
    int32_t thermalWarning = -1, thermalState = -1, acPower = -1, lowPower = -1;
    int32_t memoryPressure = -1;
    std::string brand;
};

int32_t integerField(const nlohmann::json& state, const char* key) {
    const auto found = state.find(key);
    if (found == state.end() || !found->is_number()) return -1;
    const double value = found->get<double>();
    if (!std::isfinite(value) || value != std::trunc(value) ||
        value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        return -1;
    }
    return static_cast<int32_t>(value);
}

// A flag the device may send as a JSON boolean or as 0/1.
int32_t flagField(const nlohmann::json& state, const char* key) {
    const auto found = state.find(key);
    if (found == state.end()) return -1;
    if (found->is_boolean()) return found->get<bool>() ? 1 : 0;
    const int32_t value = integerField(state, key);
    return value == 0 || value == 1 ? value : -1;
}

// Asks the configured virtual Mac for its power-manager state. A device that fails to
// answer, or answers with something other than a JSON object, gives a state that supplies
// nothing (the machine being simulated is the virtual Mac, so the host's values must not be
// passed off as its own).
VirtualMacState askVirtualMac() {
    VirtualMacState state;
    try {
        std::vector<uint8_t> reply;
        static constexpr uint8_t kRequest[] = {'{', '}'};
        if (pyrelle::csmc::deviceExchange(pyrelle::csmc::kSelectorPowerManager, kRequest, reply) !=
            0) {
            return state;
        }
        const auto json = nlohmann::json::parse(reply.begin(), reply.end(), nullptr, false);
        if (!json.is_object()) return state;
        state.speedLimit = integerField(json, "speedLimit");
        state.schedulerLimit = integerField(json, "schedulerLimit");
        state.availableCPUs = integerField(json, "availableCPUs");
        state.totalCPUs = integerField(json, "totalCPUs");
        state.thermalWarning = integerField(json, "thermalWarning");
        state.thermalState = integerField(json, "thermalState");
        if (state.thermalState < 0 || state.thermalState > 3) state.thermalState = -1;
        state.acPower = flagField(json, "acPower");
        state.lowPower = flagField(json, "lowPower");
        state.memoryPressure = integerField(json, "memoryPressure");
        if (const auto brand = json.find("brand"); brand != json.end() && brand->is_string()) {
            state.brand = brand->get<std::string>();
        }
    } catch (...) {
        // The probes never fail loudly: whatever could not be read stays unsupplied.
    }
    return state;
}

// The open batches of this thread, and the reply the outermost one holds once asked.
// virtualMac() is absent when no virtual Mac is configured, so the caller reads Linux.
thread_local int batchDepth = 0;
thread_local std::optional<VirtualMacState> batchState;

std::optional<VirtualMacState> virtualMac() {
    if (!pyrelle::csmc::deviceConfigured()) return std::nullopt;
    if (batchDepth == 0) return askVirtualMac();
    if (!batchState) batchState = askVirtualMac();
    return batchState;
}

// Only the kernel's defined levels are reported; 0, 3 and anything else are unknown.
int32_t pressureLevel(int32_t level) {
    return level == 1 || level == 2 || level == 4 ? level : -1;
}

}  // namespace

namespace pyrelle::csmc {

ProbeBatch::ProbeBatch() {
    ++batchDepth;
}

ProbeBatch::~ProbeBatch() {
    if (--batchDepth == 0) batchState.reset();
}

}  // namespace pyrelle::csmc

extern "C" {

PYRPowerStatus pyr_power_status(void) {
    if (const auto state = virtualMac()) {
        return PYRPowerStatus{state->speedLimit, state->schedulerLimit, state->availableCPUs,
                              state->thermalWarning};
    }
    return pyrelle::csmc::probes::powerStatus(kHostRoot);
}

int32_t pyr_cpu_ticks(PYRCPUTicks* out) {
    return pyrelle::csmc::probes::cpuTicks(kHostRoot, out);
}

// CLOCK_BOOTTIME keeps counting while the machine is suspended, like macOS's continuous time.
double pyr_continuous_seconds(void) {
    timespec now{};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int32_t pyr_owner_alive(int32_t pid, uint32_t uid) {
    return pyrelle::csmc::probes::ownerAlive(kHostRoot, pid, uid);
}

void stopHandler(int /*signal*/) {
    stopRequested = 1;
}

void pyr_install_stop_handlers(void) {
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = stopHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signalNumber, &action, nullptr);
    }
}

int32_t pyr_should_stop(void) {
    return stopRequested != 0 ? 1 : 0;
}

// Linux has no kernel-extension manager and no turbo-disable driver: always unknown.
int32_t pyr_turbo_driver_state(void) {
    return -1;
}

int32_t pyr_ac_power(void) {
    if (const auto state = virtualMac()) return state->acPower;
    return pyrelle::csmc::probes::acPower(kHostRoot);
}

int32_t pyr_memory_pressure(void) {
    if (const auto state = virtualMac()) return pressureLevel(state->memoryPressure);
    return pressureLevel(pyrelle::csmc::probes::memoryPressure(kHostRoot));
}

int32_t pyr_thermal_state(void) {
    if (const auto state = virtualMac()) return state->thermalState;
    return pyrelle::csmc::probes::thermalState(kHostRoot);
}

int32_t pyr_low_power_mode(void) {
    if (const auto state = virtualMac()) return state->lowPower;
    return pyrelle::csmc::probes::lowPowerMode(kHostRoot);
}

// The virtual Mac's own CPU count when it gives one; otherwise the host's configured logical
// CPUs (online or not, so offline CPUs show as fewer available than total).
int32_t pyr_processor_count(void) {
    if (const auto state = virtualMac(); state && state->totalCPUs >= 1) return state->totalCPUs;
    const long configured = sysconf(_SC_NPROCESSORS_CONF);
    return configured >= 1 && configured <= std::numeric_limits<int32_t>::max()
               ? static_cast<int32_t>(configured)
               : 1;
}

int32_t pyr_cpu_brand(char* out, int32_t size) {
    if (out == nullptr || size < 1) return -1;
    out[0] = '\0';
    if (const auto state = virtualMac()) {
        if (state->brand.empty()) return -1;
        const size_t length = std::min(state->brand.size(), static_cast<size_t>(size - 1));
        std::memcpy(out, state->brand.data(), length);
        out[length] = '\0';
        return static_cast<int32_t>(length);
    }
    return pyrelle::csmc::probes::cpuBrand(kHostRoot, out, size);
}

int32_t pyr_process_snapshot(PYRProcessSnapshot* out, int32_t capacity, int32_t* failures) {
    return pyrelle::csmc::probes::processSnapshot(kHostRoot, out, capacity, failures);
}

}  // extern "C"
