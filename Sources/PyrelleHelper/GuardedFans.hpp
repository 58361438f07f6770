#pragma once
// The SMC's fans as the helper's leases drive them: every call is the SMC's own, except that
// the guardian is armed before any write that may take a fan out of automatic control.

#include "Guardian.hpp"
#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/SMC.hpp"

namespace pyrelle::helper {

class GuardedFans final : public CoolingHardware {
public:
    // `guardian` may be null (nothing to arm). Neither is owned; both outlive this object.
    GuardedFans(SMC& smc, Guardian* guardian) : smc_(smc), guardian_(guardian) {}

    std::vector<FanReading> fans() override { return smc_.fans(); }
    std::optional<double> target(int fan) override { return smc_.target(fan); }
    void setTarget(int fan, double rpm) override {
        arm();
        smc_.setTarget(fan, rpm);
    }
    void setManual(int fan, bool manual) override {
        if (manual) arm();
        smc_.setManual(fan, manual);
    }

    // The fans are verifiably automatic again: the guardian may stand down.
    void handedBack() {
        if (guardian_) guardian_->handedBack();
    }

private:
    void arm() {
        if (guardian_) guardian_->arm();
    }

    SMC& smc_;
    Guardian* guardian_;
};

}  // namespace pyrelle::helper
