#include "Control/HelperClient.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "pyrelle/OperationIssue.hpp"
#include "pyrelle/RandomIdentifier.hpp"
#include "pyrelle/ScopeError.hpp"

namespace kilnview {

using namespace pyrelle;

namespace {

// Shown when neither administrator rights nor an elevation command are at hand.
constexpr const char* kNoRights =
    "控制风扇需要管理员权限：请以管理员身份运行 Kilnview，或用 --elevate 指定提权命令";
// The helper ended the conversation without saying why.
constexpr const char* kHelperGone = "辅助进程已退出";
// The one-shot cooling run is going; a second one is not started beside it.
constexpr const char* kCoolingRunning = "散热会话正在运行";
constexpr const char* kCoolingStarted = "散热会话已开始，最长 5 分钟";
constexpr const char* kCoolingStopTimeout = "散热会话未能按时停止";

// How long the cooling run may take to notice its stop file and hand the fans back: its lease
// checks once a second, and a restore may take 2 s per fan write.
constexpr double kCoolingStopWait = 20;
// How long the session may take to end after "shutdown" (its lease's restore included).
constexpr double kSessionEndWait = 15;

}  // namespace

HelperClient::HelperClient(HelperSettings settings) : settings_(std::move(settings)) {
    state_.available = settings_.administrator || !settings_.elevation.empty();
}

HelperClient::~HelperClient() {
    // A safety net only (shutdown() is the path that reports): the helpers are asked to end
    // the way that hands the fans back, their stop file and the end of their input, and are
    // killed only if they do not go within the bound.
    std::lock_guard<std::mutex> guard(lock_);
    stopCooling();
    endSession();
}

std::vector<std::string> HelperClient::command(std::vector<std::string> arguments) const {
    std::vector<std::string> argv;
    if (!settings_.administrator) {
        // "{uid}" names the user, for elevation commands that must keep the real user id (the
        // helper's session checks it), e.g. 'sudo -n setpriv --ruid {uid} --euid 0 --'.
        for (const std::string& word : settings_.elevation)
            argv.push_back(word == "{uid}" ? std::to_string(settings_.uid) : word);
    }
    argv.push_back(settings_.helper);
    for (std::string& argument : arguments) argv.push_back(std::move(argument));
    return argv;
}

std::optional<uid_t> HelperClient::rootAs() const {
    if (!settings_.administrator) return std::nullopt;
    return settings_.uid;
}

ActionResult HelperClient::refusedWithoutRights() const {
    return ActionResult::failure(kNoRights);
}

void HelperClient::startSession() {
    session_ = std::make_unique<ChildProcess>(
        command({"serve", std::to_string(settings_.owner), std::to_string(settings_.uid)}), true,
        rootAs());
    requests_.emplace(session_->input());
    replies_.emplace(session_->output());
}

void HelperClient::endSession() {
    requests_.reset();
    replies_.reset();
    if (session_) {
        session_->closeInput();
        session_->finish(kSessionEndWait);
        session_.reset();
    }
}

ControlReply HelperClient::exchange(const ControlRequest& request) {
    if (!session_ || session_->poll()) {
        if (session_) endSession();
        startSession();
    }
    try {
        try {
            requests_->send(request);
        } catch (const ScopeError&) {
            // A helper that could not start (a refused elevation) or already ended closed its
            // input: its own words on standard error say why, else that it is gone.
            session_->finish(2);
            const std::string reason = session_->errorText();
            throw ScopeError(reason.empty() ? kHelperGone : reason);
        }
        std::optional<std::string> line = replies_->readLine(replyTimeout);
        if (!line) {
            // The helper ended: its own words on standard error say why (a refused identity,
            // a failed elevation).
            session_->finish(2);
            std::string reason = session_->errorText();
            endSession();
            throw ScopeError(reason.empty() ? kHelperGone : reason);
        }
        ControlReply reply = nlohmann::json::parse(*line).get<ControlReply>();
        return reply;
    } catch (const nlohmann::json::exception& error) {
        endSession();
        throw ScopeError(error.what());
    } catch (const ScopeError&) {
        // A reply that came late would answer the next request: a conversation that failed
        // once is ended (the helper then hands any lease back) and the next one starts afresh.
        endSession();
        throw;
    }
}

void HelperClient::apply(const ControlReply& reply) {
    std::lock_guard<std::mutex> guard(stateLock_);
    ControlView& state = state_;
    const bool cooling = state.cooling;
    state.session = reply.session;
    state.mode = reply.label.value_or(kAutomaticMode);
    state.remainingSeconds.reset();
    state.protectionActive = false;
    state.targets.clear();
    if (reply.fanStatus) {
        for (const FanTarget& target : reply.fanStatus->targets)
            state.targets[target.id] = target.rpm;
        state.remainingSeconds = reply.fanStatus->remainingSeconds;
        state.protectionActive = reply.fanStatus->protectionActive;
    }
    state.failure = reply.ok ? std::nullopt : std::optional(reply.message);
    if (cooling) {
        state.cooling = true;
        state.mode = "散热";
    }
}

std::optional<std::string> HelperClient::stopCooling() {
    if (!cooling_) return std::nullopt;
    std::optional<std::string> failure;
    if (!cooling_->poll()) {
        const int fd = ::open(coolingStopFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
    }
    // The run stops at its stop file; if it does not, it is killed and its helper's guardian
    // (or the next "auto") hands the fans back.
    const int status = cooling_->finish(kCoolingStopWait);
    if (status != 0) {
        const std::string reason = cooling_->errorText();
        failure = reason.empty() ? std::string(kCoolingStopTimeout) : reason;
    }
    forgetCooling(failure, true);
    return failure;
}

// The cooling run has ended: its stop file and process go, and the control state is
// automatic again. `failure`, when there is one, replaces the failure shown; without one the
// failure shown is kept when `keepFailure` is set, else cleared.
void HelperClient::forgetCooling(const std::optional<std::string>& failure, bool keepFailure) {
    ::unlink(coolingStopFile_.c_str());
    cooling_.reset();
    std::lock_guard<std::mutex> guard(stateLock_);
    state_.cooling = false;
    state_.mode = kAutomaticMode;
    state_.remainingSeconds.reset();
    state_.targets.clear();
    if (failure || !keepFailure) state_.failure = failure;
}

void HelperClient::checkCooling() {
    if (!cooling_) return;
    if (const auto status = cooling_->poll()) {
        std::optional<std::string> failure;
        if (*status != 0) {
            const std::string reason = cooling_->errorText();
            failure = reason.empty() ? std::string(kHelperGone) : reason;
        }
        forgetCooling(failure, false);
        return;
    }
    const double elapsed = settings_.uptime() - coolingStarted_;
    std::lock_guard<std::mutex> guard(stateLock_);
    state_.remainingSeconds = std::max(0.0, coolingSeconds - elapsed);
}

// One request to the session, its reply applied to the control state, as the action's result.
ActionResult HelperClient::send(const ControlRequest& request) {
    const ControlReply reply = exchange(request);
    apply(reply);
    if (!reply.ok) return ActionResult::failure(reply.message);
    return ActionResult::success(reply.message);
}

ActionResult HelperClient::test() {
    if (!state_.available) return refusedWithoutRights();
    std::lock_guard<std::mutex> guard(lock_);
    try {
        if (auto failure = stopCooling()) return ActionResult::failure(*failure);
        ControlRequest request;
        request.command = "test-fans";
        return send(request);
    } catch (const std::exception& error) {
        return ActionResult::failure(error.what());
    }
}

ActionResult HelperClient::curve(const ControlRequest& request) {
    if (!state_.available) return refusedWithoutRights();
    std::lock_guard<std::mutex> guard(lock_);
    try {
        if (auto failure = stopCooling()) return ActionResult::failure(*failure);
        return send(request);
    } catch (const std::exception& error) {
        return ActionResult::failure(error.what());
    }
}

ActionResult HelperClient::automatic() {
    if (!state_.available) return refusedWithoutRights();
    std::lock_guard<std::mutex> guard(lock_);
    try {
        const std::optional<std::string> coolingFailure = stopCooling();
        ControlRequest request;
        request.command = "auto";
        const ActionResult handedBack = send(request);
        // The cooling run's own failure is still news even when "auto" then succeeded.
        if (handedBack.ok && coolingFailure) return ActionResult::failure(*coolingFailure);
        return handedBack;
    } catch (const std::exception& error) {
        return ActionResult::failure(error.what());
    }
}

ActionResult HelperClient::cooling() {
    if (!state_.available) return refusedWithoutRights();
    std::lock_guard<std::mutex> guard(lock_);
    try {
        checkCooling();
        if (cooling_) return ActionResult::failure(kCoolingRunning);
        // The cooling run starts only from automatic fans: a running curve is ended first.
        if (session_ && !session_->poll()) {
            ControlRequest request;
            request.command = "auto";
            if (ActionResult ended = send(request); !ended.ok) return ended;
        }
        const std::string token = randomIdentifier();
        coolingStopFile_ = "/tmp/pyrelle-stop-" + token;
        ::unlink(coolingStopFile_.c_str());
        cooling_ =
            std::make_unique<ChildProcess>(command({"cooling", std::to_string(settings_.owner),
                                                    std::to_string(settings_.uid), token}),
                                           false, rootAs());
        coolingStarted_ = settings_.uptime();
        std::lock_guard<std::mutex> state(stateLock_);
        state_.cooling = true;
        state_.mode = "散热";
        state_.session.reset();
        state_.remainingSeconds = coolingSeconds;
        state_.failure.reset();
        return ActionResult::success(kCoolingStarted);
    } catch (const std::exception& error) {
        return ActionResult::failure(error.what());
    }
}

ActionResult HelperClient::shutdown() {
    std::lock_guard<std::mutex> guard(lock_);
    std::optional<std::string> failure = stopCooling();
    if (session_ && !session_->poll()) {
        try {
            ControlRequest request;
            request.command = "shutdown";
            const ControlReply reply = exchange(request);
            apply(reply);
            if (!reply.ok && !failure) failure = reply.message;
        } catch (const std::exception& error) {
            if (!failure) failure = error.what();
        }
    }
    endSession();
    if (failure) return ActionResult::failure(*failure);
    return ActionResult::success(kAutomaticMode);
}

ControlView HelperClient::poll() {
    std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
    if (guard.owns_lock()) {
        checkCooling();
        bool leaseRunning = false;
        {
            std::lock_guard<std::mutex> state(stateLock_);
            leaseRunning = state_.session.has_value();
        }
        if (leaseRunning && session_ && !session_->poll()) {
            try {
                ControlRequest request;
                request.command = "status";
                apply(exchange(request));
            } catch (const std::exception& error) {
                std::lock_guard<std::mutex> state(stateLock_);
                state_.failure = error.what();
                state_.session.reset();
                state_.remainingSeconds.reset();
                state_.targets.clear();
                state_.mode = kAutomaticMode;
            }
        } else if (leaseRunning && (!session_ || session_->poll())) {
            std::lock_guard<std::mutex> state(stateLock_);
            state_.session.reset();
            state_.remainingSeconds.reset();
            state_.targets.clear();
            state_.mode = kAutomaticMode;
        }
    }
    return control();
}

ControlView HelperClient::control() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return state_;
}

}  // namespace kilnview
