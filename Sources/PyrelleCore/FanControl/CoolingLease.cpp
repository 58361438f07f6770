#include "pyrelle/CoolingLease.hpp"

#include <cmath>
#include <exception>
#include <string>

#include "pyrelle/FanControlMessages.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::CoolingLease {

namespace messages = fancontrol::messages;

namespace {

bool finite(const std::optional<double>& value) {
    return value && std::isfinite(*value);
}

struct FanFailure {
    int id;
    std::string description;
};

// One pass: every listed fan to automatic, in order; the fans that failed, with their errors.
std::vector<FanFailure> restorePass(CoolingHardware& hardware, const std::vector<int>& ids) {
    std::vector<FanFailure> failed;
    for (int id : ids) {
        try {
            hardware.setManual(id, false);
        } catch (...) {
            failed.push_back({id, describeFailure(std::current_exception())});
        }
    }
    return failed;
}

std::vector<int> idsOf(const std::vector<FanFailure>& failed) {
    std::vector<int> ids;
    for (const auto& failure : failed) ids.push_back(failure.id);
    return ids;
}

}  // namespace

void restoreAuto(CoolingHardware& hardware, const std::vector<int>& ids,
                 const HandBackRetry& retry) {
    std::vector<int> pending = ids;
    double firstFailure = 0;
    for (int pass = 1;; ++pass) {
        std::vector<FanFailure> failed = restorePass(hardware, pending);
        std::string unlockError;
        if (!failed.empty() && retry.releaseUnlock) {
            try {
                if (retry.releaseUnlock()) failed = restorePass(hardware, idsOf(failed));
            } catch (...) {
                unlockError = describeFailure(std::current_exception());
            }
        }
        if (failed.empty()) return;

        const double now = retry.now ? retry.now() : 0;
        if (pass == 1) firstFailure = now;
        if (pass >= retry.passes || !retry.now || now - firstFailure >= retry.window) {
            std::string collected;
            for (const auto& failure : failed) {
                if (!collected.empty()) collected += messages::kJoin;
                collected += failure.description;
            }
            if (!unlockError.empty()) collected += messages::kJoin + unlockError;
            throw ScopeError(messages::kRestoreFailed + collected);
        }
        // Only the fans that failed go again; a fan verifiably automatic is left alone.
        pending = idsOf(failed);
        if (retry.sleep) retry.sleep(retry.pause);
        if (retry.reconnect) retry.reconnect();
    }
}

void failAfterRestore(CoolingHardware& hardware, const std::vector<int>& ids,
                      std::exception_ptr failure, const HandBackRetry& retry) {
    try {
        restoreAuto(hardware, ids, retry);
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
         const std::function<bool()>& isCancelled, const std::function<void()>& wait,
         const HandBackRetry& retry) {
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
        failAfterRestore(hardware, restoreList, std::current_exception(), retry);
    }
    restoreAuto(hardware, restoreList, retry);
}

}  // namespace pyrelle::CoolingLease
