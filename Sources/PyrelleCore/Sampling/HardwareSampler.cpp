#include "pyrelle/HardwareSampler.hpp"

#include <cmath>
#include <exception>
#include <unordered_map>
#include <unordered_set>

#include "CSMCDevice.hpp"
#include "pyrelle/HardwareSensorReading.hpp"
#include "pyrelle/SensorCategory.hpp"

namespace pyrelle {

namespace {

std::optional<int> within(int32_t value, int32_t low, int32_t high) {
    if (value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& HardwareSampler::builtInLabels() {
    static const auto table = [] {
        std::vector<std::pair<std::string, std::string>> labels = {
            {"TC0F", "CPU die"},       {"TC0D", "CPU diode"},    {"TC0P", "CPU proximity"},
            {"TC0E", "CPU PECI"},      {"TC0H", "CPU heatsink"}, {"TG0D", "GPU diode"},
            {"TG0P", "GPU proximity"},
        };
        for (int n = 0; n <= 9; ++n) {
            labels.emplace_back("TC" + std::to_string(n) + "C",
                                "CPU core sensor " + std::to_string(n));
        }
        return labels;
    }();
    return table;
}

HardwareSampler::HardwareSampler() : HardwareSampler(SamplerPlatform::system()) {}

HardwareSampler::HardwareSampler(std::shared_ptr<SamplerPlatform> platform)
    : platform_(platform ? std::move(platform) : SamplerPlatform::system()) {}

std::vector<HardwareSampler::KnownSensor> HardwareSampler::knownSensors() const {
    std::lock_guard guard(lock_);
    return known_;
}

// Enumerated sensors first (labelled from the built-in table, else by category for
// temperatures, else by key), then built-in keys that enumeration missed but that read as a
// plausible temperature, then every sensor of earlier discoveries that is not listed now.
std::vector<HardwareSampler::KnownSensor> HardwareSampler::discover() const {
    const auto& table = builtInLabels();
    const std::unordered_map<std::string, std::string> labels(table.begin(), table.end());

    std::vector<KnownSensor> found;
    std::unordered_set<std::string> enumerated;
    for (const auto& sensor : smc_.sensorKeys(&keyInfos_)) {
        std::string label;
        if (const auto named = labels.find(sensor.key); named != labels.end()) {
            label = named->second;
        } else if (sensor.kind == HardwareSensorKind::temperature) {
            label = std::string(toText(sensorCategoryFor(sensor.key))) + " · " + sensor.key;
        } else {
            label = sensor.key;
        }
        enumerated.insert(sensor.key);
        found.push_back({sensor.key, std::move(label), sensor.kind});
    }

    if (smc_.available()) {
        std::vector<std::string> probed;
        for (const auto& entry : table) {
            if (enumerated.count(entry.first) == 0) probed.push_back(entry.first);
        }
        const auto values = smc_.numbers(probed);
        for (size_t i = 0; i < probed.size(); ++i) {
            const auto& celsius = values[i];
            if (celsius && *celsius > 0 && *celsius < 130) {
                found.push_back({probed[i], labels.at(probed[i]), HardwareSensorKind::temperature});
            }
        }
    }

    std::unordered_set<std::string> listed;
    for (const auto& sensor : found) listed.insert(sensor.key);
    for (const auto& old : known_) {
        if (listed.insert(old.key).second) found.push_back(old);
    }
    return found;
}

// This build is for Apple Silicon, where the turbo-disable driver (an Intel-only component)
// does not apply.
TurboState HardwareSampler::evaluateTurbo() const {
    return TurboState::unsupported;
}

Snapshot HardwareSampler::sample() {
    std::lock_guard guard(lock_);
    // The platform's questions below are about one moment: a virtual Mac answers them once.
    const csmc::ProbeBatch batch;
    Snapshot snapshot;

    // CPU usage from the tick counters (their low 32 bits, as the system's own counters wrap).
    PYRCPUTicks ticks{};
    if (platform_->cpuTicks(ticks) == 0) {
        const CPUCounters current{
            static_cast<uint32_t>(ticks.user), static_cast<uint32_t>(ticks.system),
            static_cast<uint32_t>(ticks.idle), static_cast<uint32_t>(ticks.nice)};
        if (previous_) snapshot.cpuUsage = current.usage(*previous_);
        previous_ = current;
    }

    if (needsDiscovery_ || ticks_ % discoveryInterval == 0) {
        try {
            known_ = discover();
            needsDiscovery_ = false;
        } catch (const std::exception&) {
            // A discovery that fails keeps the sensors already known and is retried next time.
        }
    }

    std::vector<std::string> keys;
    keys.reserve(known_.size());
    for (const auto& sensor : known_) keys.push_back(sensor.key);
    std::vector<std::optional<double>> values;
    try {
        values = smc_.numbers(keys, keyInfos_);
    } catch (const std::exception&) {
        values.assign(keys.size(), std::nullopt);
    }

    std::vector<SensorReading> sensors;
    std::vector<HardwareSensorReading> additional;
    for (size_t i = 0; i < known_.size(); ++i) {
        const auto& sensor = known_[i];
        HardwareSensorReading reading(sensor.key, sensor.label, sensor.kind, values[i]);
        if (reading.kind == HardwareSensorKind::temperature && reading.value) {
            sensors.push_back(SensorReading{reading.key, reading.label, *reading.value});
        } else {
            additional.push_back(std::move(reading));
        }
    }

    if (ticks_ % turboInterval == 0) turbo_ = evaluateTurbo();
    ++ticks_;

    const PYRPowerStatus power = platform_->powerStatus();
    const int32_t ac = platform_->acPower();
    snapshot.date = platform_->now();
    try {
        snapshot.fans = smc_.fans();
    } catch (const std::exception&) {
        snapshot.fans.clear();
    }
    snapshot.totalCPUs = platform_->processorCount();
    snapshot.thermalState = platform_->thermalState();
    snapshot.lowPower = platform_->offersLowPowerMode() ? platform_->lowPowerMode() : false;
    snapshot.smcAvailable = smc_.available();
    const int32_t pressure = platform_->memoryPressure();

    snapshot.sensors = std::move(sensors);
    snapshot.speedLimit = within(power.speed_limit, 0, 100);
    snapshot.schedulerLimit = within(power.scheduler_limit, 0, 100);
    snapshot.availableCPUs = within(power.available_cpus, 0, INT32_MAX);
    snapshot.thermalWarning = within(power.thermal_warning, 0, INT32_MAX);
    snapshot.turbo = turbo_;
    if (ac == 1)
        snapshot.acPower = true;
    else if (ac == 0)
        snapshot.acPower = false;
    snapshot.memoryPressure = memoryPressureFromValue(pressure);
    snapshot.additionalSensors = std::move(additional);
    return snapshot;
}

void HardwareSampler::reset() {
    std::lock_guard guard(lock_);
    previous_.reset();
    smc_.reopen();
    known_.clear();
    keyInfos_.clear();
    needsDiscovery_ = true;
}

void HardwareSampler::reconnect() {
    std::lock_guard guard(lock_);
    smc_.reopen();
    keyInfos_.clear();  // the device answering now may not be the one that taught them
    needsDiscovery_ = true;
}

void HardwareSampler::refreshTurbo() {
    std::lock_guard guard(lock_);
    ticks_ = 0;
}

Snapshot HardwareSampler::probe(const std::function<void(double)>& pause) {
    (void)sample();
    if (pause) pause(probePause);
    return sample();
}

}  // namespace pyrelle
