// Cost of reading the machine:
//   - one steady-state HardwareSampler::sample() over the in-process virtual Mac (discovery
//     samples excluded), with the device's own share of the time reported separately;
//   - a discovery over a device of about 2,000 keys, in process and through the socket of a
//     real PyrelleSimulator when the program is built;
//   - the process snapshot with at least 1,000 processes running (the benchmark starts 1,000
//     sleeping children), beside `ps` asked for the same fields and psutil scanning the same
//     table, in the same run; the ratios printed at the end come from interleaved rounds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "CSMC.h"
#include "CSMCDevice.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/NativeProcessSampler.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"
#include "support/Subprocess.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Mean seconds per iteration of each benchmark, for the ratios printed at the end.
std::map<std::string, double> g_means;

void recordMean(const std::string& name, double seconds, benchmark::IterationCount iterations) {
    if (iterations > 0) g_means[name] = seconds / static_cast<double>(iterations);
}

// Forwards to the virtual Mac and keeps the time spent inside it, so the shim's and sampler's
// own cost can be told apart from the device model's.
class TimedDevice : public pyrelle::csmc::Device {
public:
    explicit TimedDevice(std::shared_ptr<pyrelle::csmc::Device> inner) : inner_(std::move(inner)) {}
    int32_t exchange(uint32_t selector, std::span<const uint8_t> request,
                     std::vector<uint8_t>& reply) override {
        const auto start = Clock::now();
        const int32_t status = inner_->exchange(selector, request, reply);
        nanoseconds_ +=
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        ++exchanges_;
        return status;
    }
    void clear() { nanoseconds_ = 0, exchanges_ = 0; }
    double nanoseconds() const { return static_cast<double>(nanoseconds_); }
    double exchanges() const { return static_cast<double>(exchanges_); }

private:
    std::shared_ptr<pyrelle::csmc::Device> inner_;
    std::atomic<int64_t> nanoseconds_{0}, exchanges_{0};
};

// A virtual Mac of the named profile; `keys` > 0 pads its table to that many keys, and
// `sensorKeys` > 0 keeps only that many of its T/P/V/I keys (the rest of the table stays).
std::shared_ptr<pyrelle::sim::VirtualSMC> virtualMac(const std::string& profile, size_t keys = 0,
                                                     size_t sensorKeys = 0) {
    auto found = pyrelle::sim::Profile::named(profile, keys);
    if (!found) return nullptr;
    if (sensorKeys > 0) {
        std::vector<pyrelle::sim::KeySpec> kept;
        size_t sensors = 0;
        for (const auto& spec : found->keys) {
            const char first = spec.key.text()[0];
            const bool sensor = first == 'T' || first == 'P' || first == 'V' || first == 'I';
            if (sensor && ++sensors > sensorKeys) continue;
            kept.push_back(spec);
        }
        found->keys = std::move(kept);
    }
    return std::make_shared<pyrelle::sim::VirtualSMC>(*found);
}

void BM_SampleSteadyState(benchmark::State& state) {
    // Argument: the sensor keys the virtual Mac keeps (its Apple M4 Pro table otherwise).
    auto device = std::make_shared<TimedDevice>(
        virtualMac("apple-m4-pro", 0, static_cast<size_t>(state.range(0))));
    pyrelle::csmc::installDevice(device);
    pyrelle::HardwareSampler sampler;
    int64_t taken = 0;
    double seconds = 0, deviceNanoseconds = 0, exchanges = 0;
    for (auto _ : state) {
        if (taken % pyrelle::HardwareSampler::discoveryInterval == 0) {
            state.PauseTiming();
            benchmark::DoNotOptimize(sampler.sample());
            ++taken;
            state.ResumeTiming();
        }
        device->clear();
        const auto start = Clock::now();
        benchmark::DoNotOptimize(sampler.sample());
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        deviceNanoseconds += device->nanoseconds();
        exchanges += device->exchanges();
        ++taken;
    }
    const auto samples = static_cast<double>(state.iterations());
    state.counters["known_sensors"] = static_cast<double>(sampler.knownSensors().size());
    state.counters["exchanges_per_sample"] = exchanges / samples;
    state.counters["device_us_per_sample"] = deviceNanoseconds / samples / 1e3;
    state.counters["own_us_per_sample"] = (seconds * 1e9 - deviceNanoseconds) / samples / 1e3;
    pyrelle::csmc::installDevice(nullptr);
}
BENCHMARK(BM_SampleSteadyState)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_DiscoveryInProcess(benchmark::State& state) {
    auto device = virtualMac("apple-m4-pro", 2000);
    pyrelle::csmc::installDevice(device);
    pyrelle::HardwareSampler sampler;
    for (auto _ : state) {
        sampler.reset();  // the next sample discovers
        benchmark::DoNotOptimize(sampler.sample());
    }
    state.counters["known_sensors"] = static_cast<double>(sampler.knownSensors().size());
    pyrelle::csmc::installDevice(nullptr);
}
BENCHMARK(BM_DiscoveryInProcess)->Unit(benchmark::kMillisecond);

// A PyrelleSimulator on a private socket, for as long as the benchmark runs.
class SimulatorProcess {
public:
    bool start(const std::string& profile, int keys) {
        const std::string program = std::string(PYRELLE_BINARY_DIR) + "/Simulator/PyrelleSimulator";
        if (!std::filesystem::exists(program)) return false;
        char pattern[] = "/tmp/pyrelle-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return false;
        directory_ = pattern;
        socket_ = directory_ + "/smc.sock";
        std::vector<std::string> argv = {
            program, "--profile", profile, "--keys", std::to_string(keys), "--socket", socket_};
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, args.data(), environ) != 0)
            return false;
        for (int i = 0; i < 500 && !std::filesystem::exists(socket_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::filesystem::exists(socket_);
    }
    ~SimulatorProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
    }
    const std::string& socket() const { return socket_; }

private:
    pid_t pid_ = 0;
    std::string directory_, socket_;
};

void BM_DiscoverySocket(benchmark::State& state) {
    SimulatorProcess simulator;
    if (!simulator.start("apple-m4-pro", 2000)) {
        state.SkipWithError("PyrelleSimulator is not built");
        return;
    }
    setenv("PYRELLE_SMC_SOCKET", simulator.socket().c_str(), 1);
    {
        pyrelle::HardwareSampler sampler;
        for (auto _ : state) {
            sampler.reset();
            benchmark::DoNotOptimize(sampler.sample());
        }
        state.counters["known_sensors"] = static_cast<double>(sampler.knownSensors().size());
    }
    unsetenv("PYRELLE_SMC_SOCKET");
}
BENCHMARK(BM_DiscoverySocket)->Unit(benchmark::kMillisecond)->Iterations(5);

// ---- process table ---------------------------------------------------------------------

std::vector<pid_t> g_children;

// Starts `count` sleeping children, as `user` (a uid, through setpriv) when given.
void startChildren(int count, const std::string& user) {
    std::vector<std::string> words = {"sleep", "3600"};
    if (!user.empty()) {
        words.insert(words.begin(),
                     {"setpriv", "--reuid", user, "--regid", user, "--clear-groups"});
    }
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    for (int i = 0; i < count; ++i) {
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0)
            g_children.push_back(pid);
    }
}

void stopChildren() {
    for (const pid_t pid : g_children) kill(pid, SIGKILL);
    for (const pid_t pid : g_children) waitpid(pid, nullptr, 0);
    g_children.clear();
}

double threadCPU() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void BM_ProcessSnapshot(benchmark::State& state) {
    std::vector<PYRProcessSnapshot> buffer(pyrelle::NativeProcessSampler::capacity);
    int32_t count = 0, failures = 0;
    const auto start = Clock::now();
    const double cpuStart = threadCPU();
    for (auto _ : state) {
        count = pyr_process_snapshot(buffer.data(), static_cast<int32_t>(buffer.size()), &failures);
        benchmark::DoNotOptimize(count);
    }
    recordMean("snapshot", std::chrono::duration<double>(Clock::now() - start).count(),
               state.iterations());
    recordMean("snapshot cpu", threadCPU() - cpuStart, state.iterations());
    state.counters["processes"] = count;
    state.counters["failures"] = failures;
}
BENCHMARK(BM_ProcessSnapshot)->Unit(benchmark::kMillisecond);

void BM_ProcessSampler(benchmark::State& state) {
    pyrelle::NativeProcessSampler sampler;
    double now = 0;
    size_t reported = 0;
    for (auto _ : state) {
        reported = sampler.sample(now += 1).size();
        benchmark::DoNotOptimize(reported);
    }
    state.counters["reported"] = static_cast<double>(reported);
}
BENCHMARK(BM_ProcessSampler)->Unit(benchmark::kMillisecond);

// `ps` listing every process with pid, parent, uid, start time, CPU time, RSS and name (it has
// no disk counters), output discarded. Wall and CPU seconds of the run; none when it failed.
std::optional<std::pair<double, double>> runPs() {
    const char* argv[] = {"ps", "-e", "-o",
                          "pid=,ppid=,euid=,lstart=,cputimes=,rss=,comm=", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned =
        posix_spawnp(&pid, "ps", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return std::pair{std::chrono::duration<double>(Clock::now() - start).count(), cpu};
}

void BM_PsSameFields(benchmark::State& state) {
    double wall = 0, cpu = 0;
    for (auto _ : state) {
        const auto run = runPs();
        if (!run) {
            state.SkipWithError("cannot run ps");
            break;
        }
        wall += run->first;
        cpu += run->second;
    }
    recordMean("ps", wall, state.iterations());
    recordMean("ps cpu", cpu, state.iterations());
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations()) * 1e3;
}
BENCHMARK(BM_PsSameFields)->Unit(benchmark::kMillisecond);

// psutil scanning the same fields (including disk counters) inside one Python process; only
// the scans are timed, not the interpreter's start.
void BM_PsutilScan(benchmark::State& state) {
    const std::string script = std::string(PYRELLE_SOURCE_DIR) + "/bench/process_peers.py";
    const std::string command = "/usr/bin/python3 '" + script + "' --scan 3";
    double total = 0, cpu = 0;
    for (auto _ : state) {
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            state.SkipWithError("cannot run python3");
            break;
        }
        std::string output;
        char chunk[256];
        while (fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
        if (pclose(pipe) != 0) {
            state.SkipWithError("psutil scan failed (is python3-psutil installed?)");
            break;
        }
        const auto reply = nlohmann::json::parse(output, nullptr, false);
        const double seconds = reply.is_object() ? reply.value("seconds_per_scan", 0.0) : 0.0;
        state.SetIterationTime(seconds);
        cpu += reply.is_object() ? reply.value("cpu_seconds_per_scan", 0.0) : 0.0;
        state.counters["processes"] = reply.is_object() ? reply.value("processes", 0) : 0;
        total += seconds;
    }
    recordMean("psutil", total, state.iterations());
    recordMean("psutil cpu", cpu, state.iterations());
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations()) * 1e3;
}
BENCHMARK(BM_PsutilScan)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

std::string peersScript() {
    return std::string(PYRELLE_SOURCE_DIR) + "/bench/process_peers.py";
}

// One round of the comparison: wall and CPU seconds of ours (mean of a few snapshots), `ps`
// and one psutil scan, taken back to back.
struct Round {
    double ours = 0, oursCPU = 0, ps = 0, psCPU = 0, psutil = 0, psutilCPU = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The host's speed drifts over seconds, so ratios taken from benchmarks run a minute apart
// vary by half their size. Each round here times the three back to back, and the figures
// printed are medians over the rounds, ratios taken round by round.
void compareWithPeers(const std::string& childUser) {
    constexpr int kRounds = 7, kSnapshots = 5;
    pyrelle::testing::InteractiveProcess python({"/usr/bin/python3", peersScript(), "--serve"});
    std::vector<PYRProcessSnapshot> buffer(pyrelle::NativeProcessSampler::capacity);
    std::vector<Round> rounds;
    for (int round = 0; round < kRounds; ++round) {
        Round r;
        const auto start = Clock::now();
        const double cpuStart = threadCPU();
        for (int i = 0; i < kSnapshots; ++i) {
            int32_t failures = 0;
            benchmark::DoNotOptimize(pyr_process_snapshot(
                buffer.data(), static_cast<int32_t>(buffer.size()), &failures));
        }
        r.ours = std::chrono::duration<double>(Clock::now() - start).count() / kSnapshots;
        r.oursCPU = (threadCPU() - cpuStart) / kSnapshots;
        const auto ps = runPs();
        if (!python.sendLine("scan")) break;
        const auto line = python.readLine(60);
        const auto reply = line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
        if (!ps || !reply.is_object()) break;
        std::tie(r.ps, r.psCPU) = *ps;
        r.psutil = reply.value("seconds_per_scan", 0.0);
        r.psutilCPU = reply.value("cpu_seconds_per_scan", 0.0);
        rounds.push_back(r);
    }
    python.closeInput();
    if (rounds.empty()) {
        std::printf("\nthe peer comparison could not run (ps or python3-psutil missing)\n");
        return;
    }
    const auto figure = [&](auto field) {
        std::vector<double> values;
        for (const auto& r : rounds) values.push_back(field(r));
        return median(values);
    };
    std::printf(
        "\nprocess snapshot, 1000 extra children (uid %s), medians of %zu interleaved "
        "rounds:\n",
        childUser.empty() ? "own" : childUser.c_str(), rounds.size());
    std::printf("  ours:            %.2f ms wall, %.2f ms CPU\n",
                figure([](const Round& r) { return r.ours; }) * 1e3,
                figure([](const Round& r) { return r.oursCPU; }) * 1e3);
    std::printf(
        "  ps, same fields: %.2f ms wall (%.1fx ours), %.2f ms CPU (%.1fx ours); "
        "target >= 2x\n",
        figure([](const Round& r) { return r.ps; }) * 1e3,
        figure([](const Round& r) { return r.ps / r.ours; }),
        figure([](const Round& r) { return r.psCPU; }) * 1e3,
        figure([](const Round& r) { return r.psCPU / r.oursCPU; }));
    std::printf(
        "  psutil scan:     %.2f ms wall (%.1fx ours), %.2f ms CPU (%.1fx ours); "
        "target >= 5x\n",
        figure([](const Round& r) { return r.psutil; }) * 1e3,
        figure([](const Round& r) { return r.psutil / r.ours; }),
        figure([](const Round& r) { return r.psutilCPU; }) * 1e3,
        figure([](const Round& r) { return r.psutilCPU / r.oursCPU; }));
}

}  // namespace

// Own flag: --children-uid=N runs the 1,000 children as user N. By default they belong to an
// unprivileged user (nobody, when this runs as root): on a desktop most processes are the
// logged-in user's, not root's. --children-uid=0 measures the all-root table, where every
// entry needs its status file as well (scripts/bench reports both).
int main(int argc, char** argv) {
    std::string childUser;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--children-uid=", 0) == 0)
            childUser = argument.substr(15);
        else
            rest.push_back(argv[i]);
    }
    if (childUser.empty() && geteuid() == 0) childUser = "65534";
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
    startChildren(1000, childUser);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let setpriv become sleep
    benchmark::RunSpecifiedBenchmarks();
    if (g_means.count("snapshot") != 0) compareWithPeers(childUser);
    stopChildren();
    benchmark::Shutdown();
    return 0;
}
