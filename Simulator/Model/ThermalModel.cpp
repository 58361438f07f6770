#include "pyrelle/sim/ThermalModel.hpp"

#include <algorithm>
#include <cmath>

namespace pyrelle::sim {

namespace {

// Seconds each node takes to cover ~63 % of the way to its equilibrium.
constexpr std::array<double, kThermalNodeCount> kTimeConstant = {
    6.0,    // cpu
    8.0,    // gpu
    15.0,   // memory
    45.0,   // storage
    180.0,  // battery
    60.0,   // skin
    40.0,   // wireless
    30.0,   // ambient sensor inside the case
};
constexpr double kFanTimeConstant = 1.2;
constexpr double kStep = 0.25;
constexpr double kMaxStep = 2.0;
constexpr double kMaxSpan = 3600.0;

// The system controller's fan curve: minimum speed up to 60 °C, full speed at 100 °C (the
// machines let their chips run hot before they get loud).
constexpr double kControllerLow = 60.0;
constexpr double kControllerHigh = 100.0;

double approach(double value, double goal, double dt, double tau) {
    return goal + (value - goal) * std::exp(-dt / tau);
}

}  // namespace

ThermalModel::ThermalModel(const Profile& profile)
    : idleHeat_(profile.idleHeat),
      cpuHeatMax_(profile.cpuHeat),
      gpuHeatMax_(profile.gpuHeat),
      resistance_(profile.resistance),
      airflowGain_(profile.airflowGain),
      specs_(profile.fans) {
    for (const auto& spec : specs_) fans_.push_back({false, spec.minimum, spec.minimum});
    nodes_.fill(ambient_);
    advance(kMaxSpan);  // start settled at idle
}

void ThermalModel::advance(double seconds) {
    if (!(seconds > 0)) return;
    double left = std::min(seconds, kMaxSpan);
    // Each step is exact for constant inputs, so long spans (a settling start, an "advance"
    // request) may take coarser steps without going unstable; short ones keep fine steps.
    const double stride = std::clamp(left / 200.0, kStep, kMaxStep);
    while (left > 0) {
        const double dt = std::min(left, stride);
        step(dt);
        left -= dt;
    }
}

void ThermalModel::setManual(size_t n, bool manual) {
    if (n >= fans_.size()) return;
    fans_[n].manual = manual;
    if (!manual) fans_[n].target = controllerTarget(n);
}

void ThermalModel::setTarget(size_t n, double rpm) {
    if (n < fans_.size()) fans_[n].target = rpm;
}

double ThermalModel::controllerTarget(size_t n) const {
    const double hottest = std::max(temperature(ThermalNode::cpu), temperature(ThermalNode::gpu));
    const double position =
        std::clamp((hottest - kControllerLow) / (kControllerHigh - kControllerLow), 0.0, 1.0);
    const auto& spec = specs_[n];
    return std::round(spec.minimum + position * (spec.maximum - spec.minimum));
}

double ThermalModel::cpuHeat() const {
    const double throttle = speedLimit() / 100.0;
    return idleHeat_ * 0.5 + cpuHeatMax_ * load_ * throttle * (lowPower_ ? 0.6 : 1.0);
}

double ThermalModel::gpuHeat() const {
    return idleHeat_ * 0.25 + gpuHeatMax_ * load_ * 0.5 * (lowPower_ ? 0.6 : 1.0);
}

double ThermalModel::memoryHeat() const {
    return 0.8 + 3.0 * load_;
}

void ThermalModel::step(double dt) {
    // Airflow: the fans' mean fraction of their maximum speed.
    double airflow = 0;
    for (size_t n = 0; n < fans_.size(); ++n) {
        if (specs_[n].maximum > 0)
            airflow += std::clamp(fans_[n].actual / specs_[n].maximum, 0.0, 1.0);
    }
    if (!fans_.empty()) airflow /= static_cast<double>(fans_.size());
    const double r = resistance_ / (1.0 + airflowGain_ * airflow);

    const double cpuW = cpuHeat(), gpuW = gpuHeat(), memW = memoryHeat();
    const double cpu = ambient_ + (cpuW + 0.3 * gpuW) * r;
    const double gpu = ambient_ + (gpuW + 0.3 * cpuW) * r * 0.9;
    const double cpuRise = nodes_[0] - ambient_;
    std::array<double, kThermalNodeCount> goal = {
        cpu,
        gpu,
        ambient_ + memW * r * 2.0 + 0.25 * cpuRise,
        ambient_ + 6.0 + 0.35 * cpuRise,
        ambient_ + 3.0 + 0.2 * cpuRise + (acPower_ ? 2.0 : 0.0),
        ambient_ + 2.0 + 0.3 * cpuRise,
        ambient_ + 8.0 + 0.25 * cpuRise,
        ambient_ + 1.5 + 0.1 * cpuRise,
    };
    for (size_t i = 0; i < kThermalNodeCount; ++i) {
        nodes_[i] = approach(nodes_[i], goal[i], dt, kTimeConstant[i]);
    }
    for (size_t n = 0; n < fans_.size(); ++n) {
        auto& fan = fans_[n];
        if (!fan.manual) fan.target = controllerTarget(n);
        const double goalRpm = std::clamp(fan.target, 0.0, specs_[n].maximum);
        fan.actual = approach(fan.actual, goalRpm, dt, kFanTimeConstant);
        if (std::fabs(fan.actual - goalRpm) < 0.5) fan.actual = goalRpm;
    }
    updateThermalState();
}

void ThermalModel::updateThermalState() {
    // Rising thresholds for states 1, 2 and 3; a state is left 3 °C below its threshold.
    static constexpr double kRise[] = {72.0, 82.0, 94.0};
    const double t = temperature(ThermalNode::cpu);
    int state = thermalState_;
    while (state < 3 && t >= kRise[state]) ++state;
    while (state > 0 && t < kRise[state - 1] - 3.0) --state;
    thermalState_ = state;
}

int ThermalModel::thermalWarning() const {
    return thermalState_ >= 2 ? thermalState_ - 1 : 0;
}

int ThermalModel::speedLimit() const {
    // Full speed below 80 °C, then three points per degree down to a floor of 40 %.
    const double t = temperature(ThermalNode::cpu);
    const double limit = 100.0 - std::max(0.0, t - 80.0) * 3.0;
    return static_cast<int>(std::lround(std::clamp(limit, 40.0, 100.0)));
}

double ThermalModel::railPower(Rail rail) const {
    const double cpuW = cpuHeat(), gpuW = gpuHeat(), memW = memoryHeat();
    const double system = cpuW + gpuW + memW + idleHeat_;
    switch (rail) {
        case Rail::system: return system;
        case Rail::dcIn: return acPower_ ? system + 4.0 : 0.0;  // adapter also charges a little
        case Rail::cpu: return cpuW;
        case Rail::gpu: return gpuW;
        case Rail::memory: return memW;
        case Rail::battery: return acPower_ ? -4.0 : system;  // negative while charging
        case Rail::constant: return 1.0;
    }
    return 0;
}

double ThermalModel::railVoltage(Rail rail) const {
    switch (rail) {
        case Rail::system: return 12.3;
        case Rail::dcIn: return acPower_ ? 20.1 : 0.0;
        case Rail::cpu: return 0.72 + 0.3 * load_;
        case Rail::gpu: return 0.68 + 0.25 * load_;
        case Rail::memory: return 1.1;
        case Rail::battery: return 12.45;
        case Rail::constant: return 1.0;
    }
    return 0;
}

double ThermalModel::railCurrent(Rail rail) const {
    const double v = railVoltage(rail);
    return v > 0 ? railPower(rail) / v : 0.0;
}

}  // namespace pyrelle::sim
