// One steady-state HardwareSampler::sample() (discovery samples excluded) over the kernel's
// applesmc tree (the fixture copied to a temporary directory, read through
// PYRELLE_SMC_DEVICE=applesmc:DIR as on a real Intel Mac running Linux) beside the same over
// the virtual Apple M4 Pro (its 229 sensor keys), in process and through a real
// PyrelleSimulator's socket. Each figure is also given per SMC exchange, since the trees and
// the virtual Mac offer different numbers of sensors; the ratios printed at the end compare the
// per-exchange costs of one run.
//
// Each device is measured three ways (the benchmark's argument): 0, the sampler's steady
// sample; 1, that sample's SMC traffic as it was before key info was kept (every sensor read
// in full: key info, then bytes; and the fans); 2, the same traffic with the info discovery
// learned (the bytes alone; and the fans). 1 and 2 give the before/after of the SMC's share.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "CSMCDevice.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/SMC.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Mean seconds per exchange of each benchmark, for the ratios printed at the end.
std::map<std::string, double> g_perExchange;

// Runs steady-state samples (or their SMC traffic, see above), keeping discovery out of the
// timing.
void sampleLoop(benchmark::State& state, const std::string& name) {
    const int64_t mode = state.range(0);
    pyrelle::HardwareSampler sampler;
    pyrelle::SMC smc;
    std::vector<std::string> keys;
    pyrelle::SMC::KeyInfos infos;
    int64_t taken = 0;
    double seconds = 0, exchanges = 0;
    for (auto _ : state) {
        if (taken % pyrelle::HardwareSampler::discoveryInterval == 0) {
            state.PauseTiming();
            benchmark::DoNotOptimize(sampler.sample());
            keys.clear();
            for (const auto& sensor : sampler.knownSensors()) keys.push_back(sensor.key);
            infos.clear();
            (void)smc.sensorKeys(&infos);
            ++taken;
            state.ResumeTiming();
        }
        const uint64_t before = pyrelle::csmc::exchangeCount();
        const auto start = Clock::now();
        if (mode == 0) {
            benchmark::DoNotOptimize(sampler.sample());
        } else {
            benchmark::DoNotOptimize(mode == 1 ? smc.numbers(keys) : smc.numbers(keys, infos));
            benchmark::DoNotOptimize(smc.fans());
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        exchanges += static_cast<double>(pyrelle::csmc::exchangeCount() - before);
        ++taken;
    }
    const auto samples = static_cast<double>(state.iterations());
    state.counters["known_sensors"] = static_cast<double>(sampler.knownSensors().size());
    state.counters["exchanges_per_sample"] = exchanges / samples;
    state.counters["us_per_sample"] = seconds / samples * 1e6;
    state.counters["us_per_exchange"] = exchanges > 0 ? seconds / exchanges * 1e6 : 0;
    if (exchanges > 0 && mode == 0) g_perExchange[name] = seconds / exchanges;
}

void BM_SampleKernelTree(benchmark::State& state) {
    char pattern[] = "/tmp/pyrelle-bench-tree-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string tree = std::string(pattern) + "/applesmc.768";
    std::filesystem::copy(
        std::string(PYRELLE_SOURCE_DIR) + "/tests/Hardware/data/kernel-trees/applesmc", tree,
        std::filesystem::copy_options::recursive);
    ::setenv("PYRELLE_SMC_DEVICE", ("applesmc:" + tree).c_str(), 1);
    sampleLoop(state, "tree");
    ::unsetenv("PYRELLE_SMC_DEVICE");
    std::filesystem::remove_all(pattern);
}
BENCHMARK(BM_SampleKernelTree)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_SampleVirtualMacInProcess(benchmark::State& state) {
    auto profile = pyrelle::sim::Profile::named("apple-m4-pro", 0);
    if (!profile) {
        state.SkipWithError("no apple-m4-pro profile");
        return;
    }
    pyrelle::csmc::installDevice(std::make_shared<pyrelle::sim::VirtualSMC>(*profile));
    sampleLoop(state, "in-process");
    pyrelle::csmc::installDevice(nullptr);
}
BENCHMARK(BM_SampleVirtualMacInProcess)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_SampleVirtualMacSocket(benchmark::State& state) {
    const std::string program = std::string(PYRELLE_BINARY_DIR) + "/Simulator/PyrelleSimulator";
    char pattern[] = "/tmp/pyrelle-bench-XXXXXX";
    if (!std::filesystem::exists(program) || mkdtemp(pattern) == nullptr) {
        state.SkipWithError("PyrelleSimulator is not built");
        return;
    }
    const std::string socket = std::string(pattern) + "/smc.sock";
    std::vector<std::string> argv = {program, "--profile", "apple-m4-pro", "--socket", socket};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, args.data(), environ) == 0) {
        for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::setenv("PYRELLE_SMC_SOCKET", socket.c_str(), 1);
        sampleLoop(state, "socket");
        ::unsetenv("PYRELLE_SMC_SOCKET");
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    } else {
        state.SkipWithError("cannot start PyrelleSimulator");
    }
    std::filesystem::remove_all(pattern);
}
BENCHMARK(BM_SampleVirtualMacSocket)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const auto tree = g_perExchange.find("tree");
    if (tree == g_perExchange.end()) return 0;
    for (const char* peer : {"in-process", "socket"}) {
        if (const auto found = g_perExchange.find(peer); found != g_perExchange.end()) {
            std::printf("kernel tree per exchange / virtual Mac (%s) per exchange: %.2f\n", peer,
                        tree->second / found->second);
        }
    }
    return 0;
}
