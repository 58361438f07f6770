#include "pyrelle/CoolingLease.hpp"

#include <cmath>
#include <exception>
#include <string>

#include "FanControlMessages.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::CoolingLease {

namespace messages = fancontrol::messages;

namespace {

bool finite(const std::optional<double>& value) {
    return value && std::isfinite(*value);
}

}  // namespace

void restoreAuto(CoolingHardware& hardware, const std::vector<int>& ids) {
    std::string collected;
    for (int id : ids) {
        try {
            hardware.setManual(id, false);
        } catch (...) {
            if (!collected.empty()) collected += messages::kJoin;
            collected += describeFailure(std::current_exception());
        }
    }
    if (!collected.empty()) throw ScopeError(messages::kRestoreFailed + collected);
}

void failAfterRestore(CoolingHardware& hardware, const std::vector<int>& ids,
                      std::exception_ptr failure) {
    try {
        restoreAuto(hardware, ids);
    } catch (const std::exception& restoreError) {
        throw ScopeError(describeFailure(failure) + messages::kJoin + restoreError.what());
    }
    std::rethrow_exception(failure);
}

void validateInheritedTarget(CoolingHardware& hardware, const FanReading& fan) {
    if (!fan.minimum || !fan.maximum) throw ScopeError(messages::kInheritedTarget);
    const auto target = hardware.target(fan.id);
    if (!finite(target) || *target < *fan.minimum || *target > *fan.maximum) {
        throw ScopeError(messages::kInheritedTarget);
    }
}

void run(CoolingHardware& hardware, double duration, const std::function<double()>& now,
         const std::function<bool()>& isCancelled, const std::function<void()>& wait) {
    // Checking: nothing is written until every fan is known to be safe to take over.
    if (!(duration > 0 && duration <= 300)) throw ScopeError(messages::kCoolingDuration);
    if (isCancelled()) return;

    const std::vector<FanReading> fans = hardware.fans();
    if (fans.empty()) throw ScopeError(messages::kCoolingNotAutomatic);
    for (const auto& fan : fans) {
        if (!fan.controllable || !fan.manual || *fan.manual) {
            throw ScopeError(messages::kCoolingNotAutomatic);
        }
    }

    struct Target {
        int id;
        double rpm;
    };
    std::vector<Target> targets;
    targets.reserve(fans.size());
    for (const auto& fan : fans) {
        const bool maximumOK = finite(fan.maximum) && *fan.maximum > 0 && *fan.maximum <= 12000;
        const bool minimumOK =
            finite(fan.minimum) && *fan.minimum >= 0 && maximumOK && *fan.minimum <= *fan.maximum;
        if (!maximumOK || !minimumOK) throw ScopeError(messages::kCoolingRatedRange);
        targets.push_back({fan.id, *fan.maximum});
    }
    for (const auto& fan : fans) validateInheritedTarget(hardware, fan);

    std::vector<int> restoreList;
    restoreList.reserve(fans.size());
    for (const auto& fan : fans) restoreList.push_back(fan.id);
    const double deadline = now() + duration;

    try {
        // Applying: a cancellation or the deadline here is an error, restored below.
        for (const auto& target : targets) {
            if (isCancelled() || now() >= deadline) throw ScopeError(messages::kCoolingCancelled);
            hardware.setManual(target.id, true);
            hardware.setTarget(target.id, target.rpm);
        }

        // Monitoring: the deadline and a cancellation are the normal end.
        double clock = now();
        while (true) {
            if (clock >= deadline || isCancelled()) break;
            const std::vector<FanReading> current = hardware.fans();
            for (const auto& target : targets) {
                bool held = false;
                for (const auto& fan : current) {
                    if (fan.id != target.id) continue;
                    if (fan.manual && *fan.manual) {
                        const auto readBack = hardware.target(target.id);
                        held = readBack && std::fabs(*readBack - target.rpm) < 2;
                    }
                    break;
                }
                if (!held) throw ScopeError(messages::kCoolingChanged);
            }
            wait();
            clock = now();
        }
    } catch (...) {
        failAfterRestore(hardware, restoreList, std::current_exception());
    }
    restoreAuto(hardware, restoreList);
}

}  // namespace pyrelle::CoolingLease
