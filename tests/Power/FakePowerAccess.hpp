#pragma once
// A scripted PowerSettingsAccess: holds the "system" settings in memory, logs every call in
// order, and fails chosen calls with chosen messages.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pyrelle/PowerSettingsAccess.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::testing {

class FakePowerAccess : public PowerSettingsAccess {
public:
    PowerConfiguration system;
    std::optional<PowerSource> source = PowerSource::ac;
    bool blockers = false;
    std::optional<std::int64_t> turbo = 0;

    std::optional<std::string> configurationFailure;
    std::optional<std::string> blockersFailure;
    std::map<int, std::string> setFailures;    // index of the set call (0-based) → message
    std::map<int, std::string> turboFailures;  // index of the setTurbo call → message
    bool failedWritesTakeEffect = false;       // a failing write still changes the setting

    std::vector<std::string> calls;

    PowerConfiguration configuration() override {
        calls.push_back("configuration");
        if (configurationFailure) throw ScopeError(*configurationFailure);
        return system;
    }

    void set(PowerSetting setting, PowerSource on, std::int64_t value) override {
        const int index = setCount++;
        calls.push_back("set " + std::string(toText(on)) + ":" + std::string(toText(setting)) +
                        "=" + std::to_string(value));
        const auto failure = setFailures.find(index);
        if (failure == setFailures.end() || failedWritesTakeEffect)
            system.profiles[on][setting] = value;
        if (failure != setFailures.end()) throw ScopeError(failure->second);
    }

    std::optional<PowerSource> currentSource() override {
        calls.push_back("currentSource");
        return source;
    }

    bool hasSleepBlockers() override {
        calls.push_back("hasSleepBlockers");
        if (blockersFailure) throw ScopeError(*blockersFailure);
        return blockers;
    }

    std::optional<std::int64_t> turboState() override {
        calls.push_back("turboState");
        return turbo;
    }

    void setTurbo(bool disabled) override {
        const int index = turboCount++;
        calls.push_back(disabled ? "setTurbo true" : "setTurbo false");
        const auto failure = turboFailures.find(index);
        if (failure != turboFailures.end()) throw ScopeError(failure->second);
        turbo = disabled ? 1 : 0;
    }

    // The calls that change the system.
    std::vector<std::string> writes() const {
        std::vector<std::string> result;
        for (const auto& call : calls) {
            if (call.rfind("set", 0) == 0) result.push_back(call);
        }
        return result;
    }

private:
    int setCount = 0;
    int turboCount = 0;
};

}  // namespace pyrelle::testing
