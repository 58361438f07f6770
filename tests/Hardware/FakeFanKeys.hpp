#pragma once
// An in-memory stand-in for the SMC keys the Apple Silicon hand-over touches: values by key,
// writes that can be refused, and a controller that refuses manual mode until "Ftst" has been
// 1 for a set time. Every write is logged so tests can assert what was (not) written.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "pyrelle/AppleSiliconFanControl.hpp"
#include "pyrelle/ScopeError.hpp"
#include "support/FakeClock.hpp"

namespace pyrelle::testing {

struct FakeFanKeys {
    explicit FakeFanKeys(std::map<std::string, double> initial = {}) : values(std::move(initial)) {}

    FakeClock clock;
    std::map<std::string, double> values;
    std::map<std::string, std::string> refuse;  // key → error message of every write
    std::set<std::string> sticky;               // writes "succeed" but the value does not change
    std::optional<double> unlockDelay;          // mode 1 accepted only this long after Ftst = 1
    std::optional<double> unlockedAt;
    std::vector<std::pair<std::string, double>> writes;
    int reads = 0;

    std::optional<double> read(const std::string& key) {
        ++reads;
        auto found = values.find(key);
        if (found == values.end()) return std::nullopt;
        return found->second;
    }

    void write(const std::string& key, double value) {
        writes.emplace_back(key, value);
        if (auto refused = refuse.find(key); refused != refuse.end())
            throw ScopeError(refused->second);
        const bool modeKey =
            key.size() == 4 && key[0] == 'F' && (key.substr(2) == "Md" || key.substr(2) == "md");
        if (modeKey && value == 1 && unlockDelay) {
            if (!unlockedAt || clock.now() - *unlockedAt < *unlockDelay)
                throw ScopeError("SMC " + key + " 写入失败（132）；此机型可能不支持控制");
        }
        if (key == "Ftst")
            unlockedAt = value == 1 ? std::optional<double>(clock.now()) : std::nullopt;
        if (!sticky.count(key)) values[key] = value;
    }

    AppleSiliconFanControl control() {
        return AppleSiliconFanControl([this](const std::string& k) { return read(k); },
                                      [this](const std::string& k, double v) { write(k, v); },
                                      clock.pauser(0.1), clock.clock());
    }

    int writesTo(const std::string& key) const {
        int count = 0;
        for (auto& [k, v] : writes) count += k == key;
        return count;
    }
};

}  // namespace pyrelle::testing
