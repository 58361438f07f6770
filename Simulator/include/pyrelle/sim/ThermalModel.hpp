#pragma once
// The physics of the virtual Mac: heat from load, cooling by ambient air and fan airflow,
// fans that follow their targets with a lag, the system's own fan controller for automatic
// fans, and the thermal state and CPU speed limit that follow from the temperatures.

#include <array>
#include <vector>

#include "pyrelle/sim/Profile.hpp"

namespace pyrelle::sim {

class ThermalModel {
public:
    struct Fan {
        bool manual = false;
        double target = 0;  // rpm; chosen by the system's controller while automatic
        double actual = 0;  // rpm
    };

    // Starts at the idle equilibrium of `profile` at 24 °C ambient.
    explicit ThermalModel(const Profile& profile);

    // Moves the machine forward by `seconds` (long spans are integrated in bounded steps and
    // capped at one hour, by which time everything has settled).
    void advance(double seconds);

    void setLoad(double load) { load_ = load; }
    void setAmbient(double celsius) { ambient_ = celsius; }
    void setLowPower(bool on) { lowPower_ = on; }
    void setACPower(bool on) { acPower_ = on; }
    double load() const { return load_; }
    double ambient() const { return ambient_; }
    bool lowPower() const { return lowPower_; }
    bool acPower() const { return acPower_; }

    const std::vector<Fan>& fans() const { return fans_; }
    // Hands fan `n` to manual control (keeping its current target) or back to the controller.
    void setManual(size_t n, bool manual);
    // Sets a manual fan's target; callers decide whether the write is honoured.
    void setTarget(size_t n, double rpm);

    double temperature(ThermalNode node) const { return nodes_[static_cast<size_t>(node)]; }
    double railPower(Rail rail) const;
    double railVoltage(Rail rail) const;
    double railCurrent(Rail rail) const;

    int thermalState() const { return thermalState_; }  // 0 nominal … 3 critical
    int thermalWarning() const;                         // 0 none, rising with the state
    int speedLimit() const;                             // % of full CPU speed allowed

private:
    void step(double dt);
    double controllerTarget(size_t n) const;
    double cpuHeat() const;
    double gpuHeat() const;
    double memoryHeat() const;
    void updateThermalState();

    double idleHeat_, cpuHeatMax_, gpuHeatMax_, resistance_, airflowGain_;
    std::vector<FanSpec> specs_;
    std::vector<Fan> fans_;
    std::array<double, kThermalNodeCount> nodes_{};
    double load_ = 0.08;
    double ambient_ = 24.0;
    bool lowPower_ = false;
    bool acPower_ = true;
    int thermalState_ = 0;
};

}  // namespace pyrelle::sim
