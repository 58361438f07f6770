#pragma once
// The misbehaviours injected into the virtual device on request: refused reads and writes,
// read-backs that are off or late, wrong reply lengths, kernel errors and dropped
// connections. Events (a stolen fan, sleep/wake) act at once and are not kept here.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pyrelle/sim/FourCC.hpp"

namespace pyrelle::sim {

class FaultSet {
public:
    // A key pattern: exact four characters, or a prefix followed by '*'.
    struct Pattern {
        std::string text;
        bool matches(FourCC key) const;
    };

    // SMC result for a refused write or read of `key`, when one is injected.
    std::optional<uint8_t> refusedWrite(FourCC key) const;
    std::optional<uint8_t> refusedRead(FourCC key) const;
    // Sum of the read-back offsets injected for `key`.
    double readbackOffset(FourCC key) const;
    double readbackLag() const { return lagSeconds_; }
    bool holdsUnlock() const { return holdUnlock_; }

    // Consumes one selector-2 call's share of the counted faults.
    std::optional<int32_t> takeKernelError();
    std::optional<uint32_t> takeBadLength();
    bool takeDrop();

    void refuseWrite(Pattern pattern, uint8_t result) {
        writes_.push_back({std::move(pattern), result});
    }
    void refuseRead(Pattern pattern, uint8_t result) {
        reads_.push_back({std::move(pattern), result});
    }
    void addReadbackOffset(Pattern pattern, double delta) {
        offsets_.push_back({std::move(pattern), delta});
    }
    void setReadbackLag(double seconds) { lagSeconds_ = seconds; }
    void setHoldUnlock(bool on) { holdUnlock_ = on; }
    // `count` absent: every call until cleared.
    void addKernelError(std::optional<uint32_t> count, int32_t status);
    void addBadLength(std::optional<uint32_t> count, uint32_t length);
    void dropNextConnection() { drop_ = true; }

    void clear() { *this = FaultSet{}; }
    nlohmann::json describe() const;

private:
    struct Refusal {
        Pattern pattern;
        uint8_t result;
    };
    struct Offset {
        Pattern pattern;
        double delta;
    };
    struct Counted {
        std::optional<uint32_t> remaining;  // absent: unlimited
        uint32_t value;
    };

    std::vector<Refusal> writes_;
    std::vector<Refusal> reads_;
    std::vector<Offset> offsets_;
    double lagSeconds_ = 0;
    bool holdUnlock_ = false;
    std::optional<Counted> kernelError_;
    std::optional<Counted> badLength_;
    bool drop_ = false;
};

}  // namespace pyrelle::sim
