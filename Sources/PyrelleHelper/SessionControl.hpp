#pragma once
// The state of the one fan session a `serve` helper may run, and the answer to each request.
// Every shared field lives under one condition lock; every wait on it is bounded, and the
// lock is never held while a lease talks to the hardware.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pyrelle/ControlReply.hpp"
#include "pyrelle/ControlRequest.hpp"
#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/FanControlProgress.hpp"
#include "pyrelle/FanCurve.hpp"
#include "pyrelle/HandBackRetry.hpp"
#include "pyrelle/Snapshot.hpp"

namespace pyrelle::helper {

// What a session takes from the system; tests substitute fakes.
struct SessionDependencies {
    CoolingHardware* hardware = nullptr;  // the fans, used by every lease and by "auto"
    // Creates the snapshot source of one lease (a fresh sampler in the helper).
    std::function<std::function<Snapshot()>()> makeSampler;
    std::function<double()> now;  // continuous clock, seconds
    // A lease's pause slice; when empty the lease waits on the session itself, woken by a
    // cancellation (an external stop then reaches it through the owner watch).
    std::function<void(double)> sleep;
    std::function<bool()> externalStop;  // a stop signal arrived or the owner is gone
    std::function<void(const std::vector<int>&)> handBack;  // every listed fan to automatic
    HandBackRetry retry;              // how a lease's own hand-back is tried again
    std::function<void()> reconnect;  // reopens a broken device connection ("auto")
    // A lease of at most the given seconds begins: holds the device through the guardian, or
    // throws ScopeError when an earlier one still holds it.
    std::function<void(double)> beginLease;
    std::function<void()> handedBack;  // the fans are verifiably automatic (the guardian)
    double stopWaitSeconds = 12;       // bound of every wait on the lock
};

class SessionControl {
public:
    static constexpr double kDefaultDuration = 1800;
    static constexpr double kTestDuration = 5;
    static constexpr int kWaitSlices = 20;
    static constexpr double kWaitSlice = 0.1;

    SessionControl(int32_t owner, uint32_t uid, SessionDependencies dependencies);
    ~SessionControl();
    SessionControl(const SessionControl&) = delete;
    SessionControl& operator=(const SessionControl&) = delete;

    // Answers one request; a failure is thrown as ScopeError and becomes an error reply.
    ControlReply handle(const ControlRequest& request);

    ControlReply status();

    // Starts a fan session and returns once its first targets are written and verified
    // (at most stopWaitSeconds); throws when it cannot start or is not confirmed.
    void start(const FanCurve& curve, const std::string& mode, const std::string& name,
               double duration);

    // Asks the running lease to stop and waits (bounded) until it has handed the fans back.
    // Returns false when the time ran out. Request thread only.
    bool stopAndWait();

    // The same without reclaiming the lease thread, for the owner watch.
    bool cancelAndWait();

    // True while a lease thread is still running.
    bool running();

    // After the final stop: why the fans may not be under automatic control, in a message
    // containing "恢复自动风扇失败" — the last hand-back failed (and "auto" did not mend it), or
    // the lease did not stop within the bound. Absent when they were handed back.
    std::optional<std::string> handBackFailure();

    int32_t owner() const { return owner_; }
    uint32_t uid() const { return uid_; }

private:
    void requireStopped();
    void requireNoFailedRestore();
    void runLease(FanCurve curve, double duration);
    void pauseLease();
    bool cancelledNow();

    std::mutex mutex_;
    std::condition_variable condition_;
    // Guarded by mutex_:
    bool running_ = false;
    bool cancelled_ = false;
    bool applied_ = false;
    std::optional<std::string> failure_;
    std::optional<std::string> session_;
    std::optional<std::string> profile_;
    std::optional<std::string> label_;
    std::optional<FanControlProgress> progress_;

    SessionDependencies dependencies_;
    int32_t owner_;
    uint32_t uid_;
    std::thread lease_;  // touched only by the request thread
    // The running lease's bound, written before its thread starts.
    double leaseDeadline_ = std::numeric_limits<double>::infinity();
};

}  // namespace pyrelle::helper
