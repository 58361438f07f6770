#pragma once
// An in-memory set of fans behind the CoolingHardware interface, with a call log and
// scripted failures, for lease tests that must see exactly what was written.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::testing {

class FakeCoolingHardware : public CoolingHardware {
public:
    struct Fan {
        FanReading reading;
        std::optional<double> target;
    };

    // Adds an automatic, controllable fan with the given range and current target.
    FakeCoolingHardware& addFan(int id, double minimum, double maximum,
                                std::optional<double> target = std::nullopt) {
        Fan fan;
        fan.reading.id = id;
        fan.reading.minimum = minimum;
        fan.reading.maximum = maximum;
        fan.reading.rpm = minimum;
        fan.reading.manual = false;
        fan.reading.controllable = true;
        fan.target = target ? target : std::optional<double>(minimum);
        fans_.push_back(fan);
        return *this;
    }

    Fan& fan(int id) {
        for (auto& f : fans_) {
            if (f.reading.id == id) return f;
        }
        throw std::out_of_range("no such fan");
    }

    std::vector<FanReading> fans() override {
        log.push_back("fans");
        if (beforeFans) beforeFans();
        std::vector<FanReading> result;
        for (const auto& f : fans_) {
            if (hidden.count(f.reading.id) == 0) result.push_back(f.reading);
        }
        return result;
    }

    std::optional<double> target(int id) override {
        for (const auto& f : fans_) {
            if (f.reading.id != id || !f.target) continue;
            return *f.target + readBackOffset[id];
        }
        return std::nullopt;
    }

    void setTarget(int id, double rpm) override {
        log.push_back("target " + std::to_string(id) + " " + std::to_string(static_cast<int>(rpm)));
        if (auto failure = targetFailures.find(id); failure != targetFailures.end()) {
            throw ScopeError(failure->second);
        }
        fan(id).target = rpm;
        if (afterWrite) afterWrite();
    }

    void setManual(int id, bool manual) override {
        log.push_back(std::string(manual ? "manual " : "auto ") + std::to_string(id));
        const auto& failures = manual ? manualFailures : autoFailures;
        if (auto failure = failures.find(id); failure != failures.end()) {
            throw ScopeError(failure->second);
        }
        fan(id).reading.manual = manual;
        if (afterWrite) afterWrite();
    }

    // Calls of the writing kind ("manual 0", "target 0 5000", "auto 1"), in order.
    std::vector<std::string> writes() const {
        std::vector<std::string> result;
        for (const auto& entry : log) {
            if (entry != "fans") result.push_back(entry);
        }
        return result;
    }

    bool allAutomatic() const {
        for (const auto& f : fans_) {
            if (!f.reading.manual || *f.reading.manual) return false;
        }
        return true;
    }

    std::vector<std::string> log;
    std::map<int, std::string> manualFailures;  // setManual(id, true) throws this text
    std::map<int, std::string> autoFailures;    // setManual(id, false) throws this text
    std::map<int, std::string> targetFailures;  // setTarget(id, …) throws this text
    std::map<int, double> readBackOffset;       // added to every target read-back
    std::set<int> hidden;                       // fans missing from later fan lists
    std::function<void()> afterWrite;           // runs after every successful write
    std::function<void()> beforeFans;           // runs before each fan list is read

private:
    std::vector<Fan> fans_;
};

}  // namespace pyrelle::testing
