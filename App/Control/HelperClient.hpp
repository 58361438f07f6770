#pragma once
// HelperClient: the only part of Kilnview that drives the fans. It starts
// `PyrelleHelper serve <pid> <uid>` with administrator rights (directly when this process
// kept them, else through the elevation command) and speaks the control protocol
// with it: the fan test, custom curves, "auto" and status polling. The full-speed cooling run
// is the helper's one-shot `cooling` command, stopped through its stop file. Every failure
// comes back with the operation-issue advice. Thread-safe: one mutex serialises every
// conversation with the helper; polling skips a round rather than wait behind an action.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Control/ChildProcess.hpp"
#include "Control/FanActions.hpp"
#include "Model/AppView.hpp"
#include "pyrelle/ControlChannel.hpp"
#include "pyrelle/ControlReply.hpp"
#include "pyrelle/ControlRequest.hpp"

namespace kilnview {

struct HelperSettings {
    std::string helper;                  // path of PyrelleHelper
    std::vector<std::string> elevation;  // prefix that runs the helper as root ({uid}: the user)
    // Set when this process keeps administrator rights in its saved user id: the helper is
    // then started directly, regaining them (see ChildProcess), and `elevation` is not used.
    bool administrator = false;
    pid_t owner = 0;                 // this process
    uid_t uid = 0;                   // its (real and effective) user id, not 0
    std::function<double()> uptime;  // monotonic seconds (cooling run's remaining time)
};

class HelperClient final : public FanActions {
public:
    // The one-shot cooling run's length, seconds.
    static constexpr double coolingSeconds = 300;
    // Longest wait for one reply of the session (a start may take 12 s to stop the previous
    // lease and 12 s to confirm the next).
    static constexpr double replyTimeout = 40;

    explicit HelperClient(HelperSettings settings);
    HelperClient(const HelperClient&) = delete;
    HelperClient& operator=(const HelperClient&) = delete;
    // Ends helpers still running as shutdown() does, without a report; call shutdown() to
    // hear how the hand-back went.
    ~HelperClient();

    ActionResult test() override;
    ActionResult curve(const pyrelle::ControlRequest& request) override;
    ActionResult automatic() override;
    ActionResult cooling() override;
    // Ends the cooling run and the session: the fans are automatic when it reports success.
    ActionResult shutdown();

    // Refreshes the control state (status while a lease runs, the cooling run's end) unless an
    // action is in progress, and returns the state last known.
    ControlView poll();
    ControlView control() const;

private:
    pyrelle::ControlReply exchange(const pyrelle::ControlRequest& request);           // lock_ held
    void startSession();                                                              // lock_ held
    void endSession();                                                                // lock_ held
    std::optional<std::string> stopCooling();                                         // lock_ held
    void checkCooling();                                                              // lock_ held
    void forgetCooling(const std::optional<std::string>& failure, bool keepFailure);  // lock_ held
    ActionResult send(const pyrelle::ControlRequest& request);                        // lock_ held
    void apply(const pyrelle::ControlReply& reply);                                   // lock_ held
    std::vector<std::string> command(std::vector<std::string> arguments) const;
    ActionResult refusedWithoutRights() const;
    std::optional<uid_t> rootAs() const;

    HelperSettings settings_;
    mutable std::mutex lock_;
    std::unique_ptr<ChildProcess> session_;            // guarded by lock_
    std::optional<pyrelle::ControlChannel> replies_;   // guarded by lock_
    std::optional<pyrelle::ControlChannel> requests_;  // guarded by lock_
    std::unique_ptr<ChildProcess> cooling_;            // guarded by lock_
    std::string coolingStopFile_;                      // guarded by lock_
    double coolingStarted_ = 0;                        // guarded by lock_
    mutable std::mutex stateLock_;
    ControlView state_;  // guarded by stateLock_
};

}  // namespace kilnview
