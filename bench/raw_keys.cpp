// applesmc's whole key table through its raw key interface, on the driver emulation of the
// tests (its show/store rules, no port I/O, so the figures are this side's cost and the number
// of attribute operations, which on a real Mac each cost one exchange with the SMC):
//   - opening the device: reading the table (name, type and size of every key) once;
//   - a full sweep: every key read, in full (key info, then bytes) and with the info held.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CSMC.h"
#include "CSMCDevice.hpp"
#include "KernelTreeDevice.hpp"
#include "support/DriverEmulator.hpp"

namespace {

using pyrelle::csmc::KernelDriver;
using pyrelle::csmc::KernelTreeDevice;
using pyrelle::testing::DriverEmulator;

// An Intel SMC of `count` keys: two fans, the fan mask, and sensors of the usual types.
std::vector<DriverEmulator::Key> table(int count) {
    std::vector<DriverEmulator::Key> keys = {
        DriverEmulator::fpe2("F0Ac", 2000),       DriverEmulator::fpe2("F0Mn", 1200),
        DriverEmulator::fpe2("F0Mx", 6000),       DriverEmulator::fpe2("F0Tg", 1200),
        DriverEmulator::ui("FNum", "ui8 ", 1, 1), DriverEmulator::ui("FS! ", "ui16", 0, 2)};
    for (int i = 0; static_cast<int>(keys.size()) < count; ++i) {
        char name[5];
        std::snprintf(name, sizeof name, "%c%03X", "TPVI"[i % 4], i);
        if (name[0] == 'T') {
            keys.push_back(DriverEmulator::sp78(name, 40 + i % 20));
        } else {
            keys.push_back(DriverEmulator::fixed(name, "sp96", 1 + i % 7, 6));
        }
    }
    return keys;
}

int operations(const DriverEmulator& driver) {
    int total = 0;
    for (const auto& [file, count] : driver.operations()) total += count;
    return total;
}

void BM_RawTableOpen(benchmark::State& state) {
    const auto keys = table(static_cast<int>(state.range(0)));
    double ops = 0;
    for (auto _ : state) {
        auto driver = std::make_shared<DriverEmulator>(keys);
        auto device = KernelTreeDevice::open(KernelDriver::applesmc, DriverEmulator::seam(driver));
        benchmark::DoNotOptimize(device);
        ops += operations(*driver);
    }
    state.counters["attribute_ops_per_key"] =
        ops / static_cast<double>(state.iterations()) / static_cast<double>(keys.size());
}
BENCHMARK(BM_RawTableOpen)->Arg(1000)->Unit(benchmark::kMillisecond);

// Argument 0: every key read in full; 1: with the info a first pass learned.
void BM_RawFullSweep(benchmark::State& state) {
    const auto keys = table(1000);
    auto driver = std::make_shared<DriverEmulator>(keys);
    pyrelle::csmc::installDevice(
        KernelTreeDevice::open(KernelDriver::applesmc, DriverEmulator::seam(driver)));
    const uint32_t connection = pyr_smc_open();
    std::vector<std::string> names;
    for (const auto& key : keys) names.push_back(key.name);
    std::vector<const char*> pointers;
    for (const auto& name : names) pointers.push_back(name.c_str());
    std::vector<PYRValue> infos(names.size()), values(names.size());
    std::vector<int32_t> results(names.size());
    pyr_smc_read_many(connection, pointers.data(), static_cast<uint32_t>(names.size()),
                      infos.data(), results.data());
    driver->clearOperations();
    pyrelle::csmc::resetExchangeCount();
    for (auto _ : state) {
        if (state.range(0) == 0) {
            pyr_smc_read_many(connection, pointers.data(), static_cast<uint32_t>(names.size()),
                              values.data(), results.data());
        } else {
            pyr_smc_read_many_known(connection, pointers.data(), infos.data(),
                                    static_cast<uint32_t>(names.size()), values.data(),
                                    results.data());
        }
    }
    const auto sweeps = static_cast<double>(state.iterations());
    const auto perKey = sweeps * static_cast<double>(names.size());
    state.counters["exchanges_per_key"] =
        static_cast<double>(pyrelle::csmc::exchangeCount()) / perKey;
    state.counters["attribute_ops_per_key"] = operations(*driver) / perKey;
    pyr_smc_close(connection);
    pyrelle::csmc::installDevice(nullptr);
}
BENCHMARK(BM_RawFullSweep)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
