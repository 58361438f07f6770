#pragma once
// The SMC's fans as the helper's leases drive them: every call is the SMC's own, except that
// a lease first holds the device through its guardian, the guardian is armed before any write
// that may take a fan out of automatic control, and a lease that has sent no write at all has
// nothing to hand back (so a refusal before the first write never reports a failed hand-back).

#include <cstdint>

#include "Guardian.hpp"
#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/SMC.hpp"

namespace pyrelle::helper {

class GuardedFans final : public CoolingHardware {
public:
    // `guardian` may be null (nothing to hold or arm). Neither is owned; both outlive this.
    GuardedFans(SMC& smc, Guardian* guardian) : smc_(smc), guardian_(guardian) {}

    std::vector<FanReading> fans() override { return smc_.fans(); }
    std::optional<double> target(int fan) override { return smc_.target(fan); }
    void setTarget(int fan, double rpm) override {
        arm();
        smc_.setTarget(fan, rpm);
    }
    void setManual(int fan, bool manual) override {
        if (manual) {
            arm();
        } else if (leasing_ && smc_.writeAttempts() == writesBefore_) {
            return;  // the lease found every fan automatic and has changed nothing since
        }
        smc_.setManual(fan, manual);
    }

    // A lease of at most `seconds` begins (its time starts when this returns); throws when the
    // device is held by an earlier lease's guardian (see Guardian::begin). Before the lease's
    // first write.
    void begin(double seconds) {
        if (guardian_) guardian_->begin(seconds);
        leasing_ = true;
        writesBefore_ = smc_.writeAttempts();
    }

    // The lease is over and the fans are verifiably automatic again (or untouched), or "auto"
    // made them so: the guardian may stand down.
    void handedBack() {
        leasing_ = false;
        if (guardian_) guardian_->handedBack();
    }

private:
    void arm() {
        if (guardian_) guardian_->arm();
    }

    SMC& smc_;
    Guardian* guardian_;
    bool leasing_ = false;
    uint64_t writesBefore_ = 0;
};

}  // namespace pyrelle::helper
