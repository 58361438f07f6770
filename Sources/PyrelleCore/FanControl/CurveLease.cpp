#include "pyrelle/CurveLease.hpp"

#include <algorithm>
#include <cmath>
#include <exception>

#include "pyrelle/FanControlMessages.hpp"
#include "pyrelle/CoolingLease.hpp"
#include "pyrelle/CurvePolicy.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::CurveLease {

namespace messages = fancontrol::messages;

std::vector<FanTarget> fanTargets(const std::map<int, double>& written) {
    std::vector<FanTarget> targets;
    targets.reserve(written.size());
    for (const auto& [id, rpm] : written) targets.push_back({id, rpm});
    return targets;
}

namespace {

bool finite(const std::optional<double>& value) {
    return value && std::isfinite(*value);
}

// Throws unless every fan of `initial` is still manual at the target last written to it.
void verify(CoolingHardware& hardware, const std::vector<FanReading>& initial,
            const std::map<int, double>& written) {
    const std::vector<FanReading> current = hardware.fans();
    for (const auto& fan : initial) {
        bool held = false;
        for (const auto& now : current) {
            if (now.id != fan.id) continue;
            if (now.manual && *now.manual) {
                const auto target = hardware.target(fan.id);
                const auto last = written.find(fan.id);
                held = target && last != written.end() && std::fabs(*target - last->second) < 3;
            }
            break;
        }
        if (!held) throw ScopeError(messages::kCurveChanged);
    }
}

}  // namespace

void run(CoolingHardware& hardware, const FanCurve& curve, double duration,
         const std::function<Snapshot()>& sample, const std::function<double()>& now,
         const std::function<bool()>& isCancelled, const std::function<void()>& wait,
         const Callbacks& callbacks, const HandBackRetry& retry) {
    // Start checks: nothing is written during them.
    curve.validate();
    if (!(duration > 0 && duration <= 1800)) throw ScopeError(messages::kCurveDuration);
    if (isCancelled()) return;

    const std::vector<FanReading> initial = hardware.fans();
    if (initial.empty()) throw ScopeError(messages::kCurveNotAutomatic);
    for (const auto& fan : initial) {
        if (!fan.controllable || !fan.manual || *fan.manual || !fan.minimum || !fan.maximum) {
            throw ScopeError(messages::kCurveNotAutomatic);
        }
    }
    for (const auto& fan : initial) {
        if (!finite(fan.minimum) || !finite(fan.maximum) || *fan.minimum <= 0 ||
            *fan.maximum > 12000 || *fan.minimum > *fan.maximum) {
            throw ScopeError(messages::kCurveRatedRange);
        }
    }
    for (const auto& fan : initial) CoolingLease::validateInheritedTarget(hardware, fan);

    std::vector<int> restoreList;
    restoreList.reserve(initial.size());
    for (const auto& fan : initial) restoreList.push_back(fan.id);

    const double deadline = now() + duration;
    if (now() >= deadline) return;

    std::map<int, double> written;
    bool applied = false;
    double previous = 0;

    try {
        while (true) {
            if (isCancelled()) {
                if (!applied) return;  // nothing was written yet
                break;
            }

            const Snapshot snapshot = sample();
            const auto control = temperature(curve.sensor, snapshot);
            if (!snapshot.cpuTemperature() || !finite(control)) {
                throw ScopeError(messages::kCurveSensor);
            }

            if (applied) verify(hardware, initial, written);

            const bool protection = CurvePolicy::requiresMaximum(snapshot);
            const double desired = protection ? 100.0 : curve.percent(*control);
            const double value = applied ? CurvePolicy::smooth(desired, previous) : desired;
            previous = value;
            const double percent = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 100.0);

            for (const auto& fan : initial) {
                const double rpm = *fan.minimum + percent * (*fan.maximum - *fan.minimum) / 100;
                if (!applied) {
                    hardware.setManual(fan.id, true);
                    hardware.setTarget(fan.id, rpm);
                    written[fan.id] = rpm;
                } else {
                    const auto last = written.find(fan.id);
                    const double before = last == written.end() ? 0.0 : last->second;
                    if (std::fabs(before - rpm) >= 30) {
                        hardware.setTarget(fan.id, rpm);
                        written[fan.id] = rpm;
                    }
                }
            }

            if (callbacks.onUpdate) callbacks.onUpdate({deadline, fanTargets(written), protection});
            if (!applied && callbacks.onApplied) callbacks.onApplied();

            wait();
            applied = true;
            if (now() >= deadline) break;
        }
    } catch (...) {
        CoolingLease::failAfterRestore(hardware, restoreList, std::current_exception(), retry);
    }
    CoolingLease::restoreAuto(hardware, restoreList, retry);
}

}  // namespace pyrelle::CurveLease
