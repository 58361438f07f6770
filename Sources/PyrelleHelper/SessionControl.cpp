#include "SessionControl.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "HelperMessages.hpp"
#include "pyrelle/CoolingLease.hpp"
#include "pyrelle/CurveLease.hpp"
#include "pyrelle/RandomIdentifier.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::helper {

namespace {

constexpr const char* kStopTimeout = "等待风扇恢复自动超时，未开始下一操作";
constexpr const char* kNotApplied = "控制未生效";
constexpr const char* kConfirmTimeout = "控制确认超时，已请求恢复系统自动";
constexpr const char* kConfirmed = "控制已确认生效";
constexpr const char* kSystemManaged = "风扇由系统管理";
constexpr const char* kHandBackTimeoutReason = "等待风扇恢复自动超时";
constexpr const char* kTestLabel = "风扇验证";
constexpr const char* kCustomLabel = "自定义";

std::chrono::steady_clock::time_point after(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds));
}

}  // namespace

// Lowers the calling thread to background ("utility") priority.
void lowerThreadPriority() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
}

SessionControl::SessionControl(int32_t owner, uint32_t uid, SessionDependencies dependencies)
    : dependencies_(std::move(dependencies)), owner_(owner), uid_(uid) {
    if (!dependencies_.handBack) {
        dependencies_.handBack = [hardware = dependencies_.hardware](const std::vector<int>& ids) {
            CoolingLease::restoreAuto(*hardware, ids);
        };
    }
}

SessionControl::~SessionControl() {
    if (lease_.joinable()) {
        if (running()) {
            lease_.detach();  // only when the process is ending after a bounded wait
        } else {
            lease_.join();
        }
    }
}

bool SessionControl::running() {
    std::lock_guard lock(mutex_);
    return running_;
}

bool SessionControl::cancelledNow() {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return true;
    }
    // The bound the guardian was given: it ends a helper whose lease overruns it.
    if (dependencies_.now() >= leaseDeadline_) return true;
    return dependencies_.externalStop && dependencies_.externalStop();
}

// Up to kWaitSlices slices of kWaitSlice seconds, ended early by a cancellation. An injected
// pause is called slice by slice, with the whole cancellation test between slices. Otherwise
// the pause is one wait on the session's condition, which a cancellation wakes at once: a
// stop signal or the owner's exit reach it through the owner watch, which cancels the session
// within its own period, and the whole test still runs at the top of every cycle. Polling the
// owner ten times a second instead would cost a /proc read and a wake-up each time, several
// times the lease's own work on a virtual machine.
void SessionControl::pauseLease() {
    if (!dependencies_.sleep) {
        std::unique_lock lock(mutex_);
        condition_.wait_for(lock, std::chrono::duration<double>(kWaitSlices * kWaitSlice),
                            [this] { return cancelled_; });
        return;
    }
    for (int slice = 0; slice < kWaitSlices && !cancelledNow(); ++slice) {
        dependencies_.sleep(kWaitSlice);
    }
}

bool SessionControl::cancelAndWait() {
    std::unique_lock lock(mutex_);
    cancelled_ = true;
    condition_.notify_all();  // a lease pausing between cycles stops at once
    return condition_.wait_until(lock, after(dependencies_.stopWaitSeconds),
                                 [this] { return !running_; });
}

bool SessionControl::stopAndWait() {
    const bool stopped = cancelAndWait();
    if (stopped && lease_.joinable()) lease_.join();
    return stopped;
}

void SessionControl::requireStopped() {
    if (!stopAndWait()) throw ScopeError(kStopTimeout);
}

void SessionControl::requireNoFailedRestore() {
    std::lock_guard lock(mutex_);
    if (failure_ && failure_->find(messages::kRestoreFailedMark) != std::string::npos) {
        throw ScopeError(*failure_);
    }
}

std::optional<std::string> SessionControl::handBackFailure() {
    std::lock_guard lock(mutex_);
    if (running_) return std::string(messages::kRestoreFailed) + kHandBackTimeoutReason;
    if (failure_ && failure_->find(messages::kRestoreFailedMark) != std::string::npos)
        return failure_;
    return std::nullopt;
}

ControlReply SessionControl::status() {
    // Outside a lease nobody in this session holds the fans, so "managed by the system" is
    // only said after the fans were read to be automatic. The request thread alone starts
    // leases, so none can begin while they are read here, outside the lock.
    bool idle;
    {
        std::lock_guard lock(mutex_);
        idle = !running_ && !failure_;
    }
    bool automatic = true;
    bool readable = true;
    if (idle) {
        auto fans = dependencies_.hardware->fans();
        if (fans.empty() && dependencies_.reconnect) {
            // The connection may have broken; a new one may read them (as "auto" does).
            dependencies_.reconnect();
            fans = dependencies_.hardware->fans();
        }
        // Fans that cannot be read are not known to be automatic.
        readable = !fans.empty();
        for (const auto& fan : fans) {
            if (!fan.manual || *fan.manual) automatic = false;
        }
    }

    std::lock_guard lock(mutex_);
    ControlReply reply;
    reply.ok = !failure_.has_value();
    reply.message = failure_ ? *failure_ : (running_ ? kConfirmed : kSystemManaged);
    if (!running_ && !failure_ && (!automatic || !readable)) {
        reply.ok = false;
        reply.message = readable ? messages::kFanNotAutomatic : messages::kNoFans;
    }
    reply.session = session_;
    reply.profile = profile_;
    reply.label = label_;
    if (running_ && applied_ && progress_) {
        FanSessionStatus fanStatus;
        fanStatus.remainingSeconds = std::max(0.0, progress_->deadline - dependencies_.now());
        fanStatus.targets = progress_->targets;
        fanStatus.protectionActive = progress_->protectionActive;
        reply.fanStatus = fanStatus;
    }
    return reply;
}

void SessionControl::runLease(FanCurve curve, double duration) {
    lowerThreadPriority();
    std::optional<std::string> failure;
    try {
        const auto sample = dependencies_.makeSampler();
        const auto isCancelled = [this] { return cancelledNow(); };
        CurveLease::Callbacks callbacks;
        callbacks.onUpdate = [this](const FanControlProgress& progress) {
            std::lock_guard lock(mutex_);
            progress_ = progress;
        };
        callbacks.onApplied = [this] {
            std::lock_guard lock(mutex_);
            applied_ = true;
            condition_.notify_all();
        };
        CurveLease::run(
            *dependencies_.hardware, curve, duration, sample, dependencies_.now, isCancelled,
            [this] { pauseLease(); }, callbacks, dependencies_.retry);
    } catch (...) {
        failure = describeFailure(std::current_exception());
    }
    if (dependencies_.handedBack &&
        (!failure || failure->find(messages::kRestoreFailedMark) == std::string::npos)) {
        dependencies_.handedBack();
    }
    std::lock_guard lock(mutex_);
    failure_ = failure;
    running_ = false;
    session_.reset();
    profile_.reset();
    label_.reset();
    progress_.reset();
    condition_.notify_all();
}

void SessionControl::start(const FanCurve& curve, const std::string& mode, const std::string& name,
                           double duration) {
    curve.validate();
    requireStopped();
    requireNoFailedRestore();
    if (dependencies_.beginLease) dependencies_.beginLease(duration);
    // Set before the lease thread starts and only read by it.
    leaseDeadline_ = dependencies_.now() + duration;

    {
        std::lock_guard lock(mutex_);
        running_ = true;
        cancelled_ = false;
        applied_ = false;
        failure_.reset();
        progress_.reset();
        session_ = randomIdentifier();
        profile_ = mode;
        label_ = name;
    }
    lease_ = std::thread([this, curve, duration] { runLease(curve, duration); });

    std::unique_lock lock(mutex_);
    const bool decided = condition_.wait_until(lock, after(dependencies_.stopWaitSeconds),
                                               [this] { return !running_ || applied_; });
    if (!decided) {
        cancelled_ = true;
        condition_.notify_all();
        throw ScopeError(kConfirmTimeout);
    }
    if (running_) {
        if (failure_) throw ScopeError(*failure_);
        return;
    }
    if (applied_ && !failure_) return;
    throw ScopeError(failure_ ? *failure_ : kNotApplied);
}

ControlReply SessionControl::handle(const ControlRequest& request) {
    FanControlPolicy::validate(request, /*appleSilicon=*/true);
    const std::string& command = request.command;

    if (command == "hello" || command == "status") return status();

    if (command == "shutdown") {
        requireStopped();
        requireNoFailedRestore();
        return status();
    }

    if (command == "auto") {
        requireStopped();
        auto fans = dependencies_.hardware->fans();
        if (fans.empty() && dependencies_.reconnect) {
            // The connection may have broken under an earlier lease; a new one may read them.
            dependencies_.reconnect();
            fans = dependencies_.hardware->fans();
        }
        if (fans.empty()) throw ScopeError(messages::kNoFans);
        std::vector<int> ids;
        for (const auto& fan : fans) ids.push_back(fan.id);
        dependencies_.handBack(ids);
        if (dependencies_.handedBack) dependencies_.handedBack();
        {
            std::lock_guard lock(mutex_);
            failure_.reset();
        }
        return status();
    }

    if (command == "test-fans") {
        start(FanCurve::manual(100), "custom", kTestLabel, kTestDuration);
        return status();
    }

    if (command == "profile") {
        requireStopped();
        requireNoFailedRestore();
        start(*request.curve, "custom", request.label.value_or(kCustomLabel),
              request.duration.value_or(kDefaultDuration));
        return status();
    }

    // Power and turbo commands never pass this build's gate.
    throw ScopeError(FanControlPolicy::kAppleSiliconRefusal);
}

}  // namespace pyrelle::helper
