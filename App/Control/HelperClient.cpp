#include "Control/HelperClient.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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
// Kilnview's own bound of a lease it started has passed.
constexpr const char* kLeaseOverran = "风扇控制超过时限仍未结束，已结束辅助进程以恢复系统自动";

// How long the cooling run may take to notice its stop file and hand the fans back: its lease
// checks once a second, and a restore may take 2 s per fan write.
constexpr double kCoolingStopWait = 20;
// How long the session may take to end after "shutdown" (its lease's restore included).
constexpr double kSessionEndWait = 15;
// The helper's fan test and its default curve length, seconds: the bounds of those leases.
constexpr double kTestSeconds = 5;
constexpr double kDefaultCurveSeconds = 1800;
// Ended helpers listened to at most (each until its standard error closes).
constexpr std::size_t kRetiredKept = 4;

// The last non-empty line of what a helper wrote: its last word.
std::string lastLine(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0) {
        while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
        const std::size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        if (end > from) return text.substr(from, end - from);
        if (start == std::string::npos) break;
        end = start;
    }
    return {};
}

}  // namespace

HelperClient::HelperClient(HelperSettings settings) : settings_(std::move(settings)) {
    state_.available = settings_.launcher || !settings_.elevation.empty();
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
    // "{uid}" names the user, for elevation commands that must keep the real user id (the
    // helper's session checks it), e.g. 'sudo -n setpriv --ruid {uid} --euid 0 --'.
    for (const std::string& word : settings_.elevation)
        argv.push_back(word == "{uid}" ? std::to_string(settings_.uid) : word);
    argv.push_back(settings_.helper);
    for (std::string& argument : arguments) argv.push_back(std::move(argument));
    return argv;
}

std::unique_ptr<ChildProcess> HelperClient::launch(std::vector<std::string> arguments, bool pipes,
                                                   const std::string& token) {
    // The privileged part builds the helper's arguments itself; only the token travels.
    if (settings_.launcher)
        return pipes ? settings_.launcher->serve() : settings_.launcher->cooling(token);
    return std::make_unique<ChildProcess>(command(std::move(arguments)), pipes);
}

ActionResult HelperClient::refusedWithoutRights() const {
    return ActionResult::failure(kNoRights);
}

void HelperClient::startSession() {
    session_ =
        launch({"serve", std::to_string(settings_.owner), std::to_string(settings_.uid)}, true);
    requests_.emplace(session_->input());
    replies_.emplace(session_->output());
    lastFailedReply_.reset();
}

int HelperClient::endSession(bool terminate) {
    requests_.reset();
    replies_.reset();
    leaseDeadline_.reset();
    if (!session_) return 0;
    int status = 0;
    if (terminate) {
        status = session_->terminate(kSessionEndWait);
    } else {
        session_->closeInput();
        status = session_->finish(kSessionEndWait);
    }
    retire(std::move(session_));
    return status;
}

void HelperClient::retire(std::unique_ptr<ChildProcess> child) {
    if (!child) return;
    // What was already said (and reported with the action that failed) is not news.
    std::string said = child->errorText();
    retired_.emplace_back(std::move(child), std::move(said));
    if (retired_.size() > kRetiredKept) retired_.erase(retired_.begin());
}

void HelperClient::listenToRetired() {
    for (auto it = retired_.begin(); it != retired_.end();) {
        const std::string text = it->first->errorText();
        if (text != it->second) {
            it->second = text;
            // A late word: the helper's guardian still handing the fans back, or failing to.
            if (const std::string word = lastLine(text); !word.empty()) {
                std::lock_guard<std::mutex> state(stateLock_);
                state_.failure = word;
            }
        }
        it = it->first->errorsClosed() ? retired_.erase(it) : it + 1;
    }
}

void HelperClient::leaseEnded(const std::optional<std::string>& failure) {
    leaseDeadline_.reset();
    std::lock_guard<std::mutex> state(stateLock_);
    state_.session.reset();
    state_.remainingSeconds.reset();
    state_.targets.clear();
    state_.protectionActive = false;
    state_.mode = kAutomaticMode;  // corrected by the fans as read (ControlTruth)
    if (failure) state_.failure = failure;
}

// A session that ended on its own (killed, or stopped by a signal with a failed hand-back):
// its last words are the news.
void HelperClient::checkSession() {
    if (!session_) return;
    const std::optional<int> status = session_->poll();
    if (!status) return;
    std::optional<std::string> failure;
    if (std::string word = lastLine(session_->errorText()); !word.empty()) {
        failure = std::move(word);
    } else if (lastFailedReply_) {
        failure = lastFailedReply_;
    } else if (*status != 0) {
        failure = kHelperGone;
    }
    endSession();
    leaseEnded(failure);
}

// Kilnview's own clock bounds the leases it started, whatever the helper does (a frozen
// helper counts nothing).
void HelperClient::checkBounds() {
    const double now = settings_.uptime();
    const auto overran = [&](ChildProcess& child) {
        const std::string word = lastLine(child.errorText());
        return word.empty() ? std::string(kLeaseOverran) : std::string(kLeaseOverran) + "：" + word;
    };
    if (session_ && leaseDeadline_ && now > *leaseDeadline_ + leaseGrace) {
        session_->terminate(kSessionEndWait);
        const std::string failure = overran(*session_);
        endSession();
        leaseEnded(failure);
    }
    if (cooling_ && !cooling_->poll() && now > coolingStarted_ + coolingSeconds + leaseGrace) {
        cooling_->terminate(kCoolingStopWait);
        forgetCooling(overran(*cooling_), true);
    }
}

ControlReply HelperClient::exchange(const ControlRequest& request, double timeout) {
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
            const std::string reason = lastLine(session_->errorText());
            throw ScopeError(reason.empty() ? kHelperGone : reason);
        }
        std::optional<std::string> line = replies_->readLine(timeout);
        if (!line) {
            // The helper ended: its own words on standard error say why (a refused identity,
            // a failed elevation, a failed hand-back).
            session_->finish(2);
            std::string reason = lastLine(session_->errorText());
            endSession();
            throw ScopeError(reason.empty() ? kHelperGone : reason);
        }
        ControlReply reply = nlohmann::json::parse(*line).get<ControlReply>();
        return reply;
    } catch (const nlohmann::json::exception& error) {
        endSession(true);
        throw ScopeError(error.what());
    } catch (const ScopeError&) {
        // A reply that came late would answer the next request: a conversation that failed
        // once is ended (the helper then hands any lease back) and the next one starts afresh.
        endSession(true);
        // Its last words on the way out (a failed hand-back) say more than the channel does.
        if (!retired_.empty()) {
            if (std::string word = lastLine(retired_.back().second); !word.empty())
                throw ScopeError(word);
        }
        throw;
    }
}

void HelperClient::apply(const ControlReply& reply) {
    if (!reply.ok) lastFailedReply_ = reply.message;
    if (!reply.session) leaseDeadline_.reset();
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
        // A new file of this user's, never one someone planted (or a link to one): the helper
        // honours only a stop file of its owner's or root's.
        const int fd = ::open(coolingStopFile_.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            cooling_->signal(SIGCONT);
        } else {
            // No stop file of ours: the stop signal ends the run the same way.
            cooling_->signal(SIGCONT);
            cooling_->signal(SIGTERM);
        }
    }
    // The run stops at its stop file; if it does not, it is killed and its helper's guardian
    // (or the next "auto") hands the fans back.
    const int status = cooling_->finish(kCoolingStopWait);
    if (status != 0) {
        const std::string reason = lastLine(cooling_->errorText());
        failure = reason.empty() ? std::string(kCoolingStopTimeout) : reason;
    }
    forgetCooling(failure, true);
    return failure;
}

// The cooling run has ended: its stop file goes, its process is listened to until its
// standard error closes, and the control state is automatic again (as far as the helper side
// knows). `failure`, when there is one, replaces the failure shown; without one the failure
// shown is kept when `keepFailure` is set, else cleared.
void HelperClient::forgetCooling(const std::optional<std::string>& failure, bool keepFailure) {
    // Only a stop file of ours: a link or another user's file is left alone.
    struct stat file {};
    if (::lstat(coolingStopFile_.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
        file.st_uid == ::geteuid())
        ::unlink(coolingStopFile_.c_str());
    retire(std::move(cooling_));
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
            const std::string reason = lastLine(cooling_->errorText());
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
    if (reply.ok && reply.session) {
        droveFans_ = true;
        const double length = reply.fanStatus ? reply.fanStatus->remainingSeconds
                              : request.command == "test-fans"
                                  ? kTestSeconds
                                  : request.duration.value_or(kDefaultCurveSeconds);
        leaseDeadline_ = settings_.uptime() + length;
    }
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
        cooling_ = launch(
            {"cooling", std::to_string(settings_.owner), std::to_string(settings_.uid), token},
            false, token);
        droveFans_ = true;
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
    const bool running = session_ != nullptr;
    const int status = endSession();
    // A session that ended badly said why on its way out.
    if (!failure && running && status != 0 && !retired_.empty()) {
        const std::string word = lastLine(retired_.back().first->errorText());
        failure = word.empty() ? std::string(kHelperGone) : word;
    }
    if (failure) return ActionResult::failure(*failure);
    return ActionResult::success(kAutomaticMode);
}

ControlView HelperClient::poll() {
    std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
    if (guard.owns_lock()) {
        checkCooling();
        checkBounds();
        checkSession();
        bool leaseRunning = false;
        {
            std::lock_guard<std::mutex> state(stateLock_);
            leaseRunning = state_.session.has_value();
        }
        if (leaseRunning && session_) {
            try {
                ControlRequest request;
                request.command = "status";
                apply(exchange(request, statusTimeout));
            } catch (const std::exception& error) {
                leaseEnded(std::string(error.what()));
            }
        } else if (leaseRunning) {
            leaseEnded(std::nullopt);
        }
        listenToRetired();
    }
    return control();
}

ControlView HelperClient::control() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return state_;
}

bool HelperClient::droveFans() const {
    return droveFans_;
}

}  // namespace kilnview
