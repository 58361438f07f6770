#pragma once
// HelperClient: the only part of Kilnview that drives the fans. It starts
// `PyrelleHelper serve <pid> <uid>` with administrator rights (through the privileged part
// when Kilnview was started with them, else through the elevation command) and speaks the
// control protocol with it: the fan test, custom curves, "auto" and status polling. The
// full-speed cooling run is the helper's one-shot `cooling` command, stopped through its stop
// file. Every failure comes back with the operation-issue advice.
//
// It reports what the helpers said, never what their presence suggests: a helper that ended
// leaves its last words (standard error, read until every writer of it is gone, so a late
// word of the helper's guardian is heard too; else its last failed reply) as the failure. Its
// own clock bounds every lease it started: past the lease's deadline and a grace, the helper
// is ended the way that hands the fans back, and that is reported.
//
// Thread-safe: one mutex serialises every conversation with the helper; polling skips a round
// rather than wait behind an action.

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Control/ChildProcess.hpp"
#include "Control/FanActions.hpp"
#include "Control/PrivilegeSeparation.hpp"
#include "Model/AppView.hpp"
#include "pyrelle/ControlChannel.hpp"
#include "pyrelle/ControlReply.hpp"
#include "pyrelle/ControlRequest.hpp"

namespace kilnview {

struct HelperSettings {
    std::string helper;                  // path of PyrelleHelper
    std::vector<std::string> elevation;  // prefix that runs the helper as root ({uid}: the user)
    // Set when Kilnview was started with administrator rights: helpers are started by its
    // privileged part, and `elevation` is not used.
    std::shared_ptr<HelperLauncher> launcher;
    pid_t owner = 0;                 // this process
    uid_t uid = 0;                   // its (real and effective) user id, not 0
    std::function<double()> uptime;  // monotonic seconds (leases' deadlines, remaining time)
};

class HelperClient final : public FanActions {
public:
    // The one-shot cooling run's length, seconds.
    static constexpr double coolingSeconds = 300;
    // Longest wait for one reply of the session (a start may take 12 s to stop the previous
    // lease and 12 s to confirm the next).
    static constexpr double replyTimeout = 40;
    // Longest wait for a reply to "status", which the helper answers at once.
    static constexpr double statusTimeout = 5;
    // How long past its deadline a lease may run before Kilnview ends its helper: room for the
    // helper's own hand-back (12 s per stop) and its guardian's first passes.
    static constexpr double leaseGrace = 20;

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
    // Whether a lease was started during this run (fans that cannot be read at the end then
    // cannot be taken for automatic).
    bool droveFans() const;

private:
    pyrelle::ControlReply exchange(const pyrelle::ControlRequest& request,
                                   double timeout = replyTimeout);  // lock_ held
    void startSession();                                            // lock_ held
    // Ends the session (closing its input, or with `terminate` its stop signal) and keeps
    // listening to its standard error. Returns its exit status.
    int endSession(bool terminate = false);                      // lock_ held
    void checkSession();                                         // lock_ held
    void checkBounds();                                          // lock_ held
    void listenToRetired();                                      // lock_ held
    void retire(std::unique_ptr<ChildProcess> child);            // lock_ held
    void leaseEnded(const std::optional<std::string>& failure);  // lock_ held
    std::unique_ptr<ChildProcess> launch(std::vector<std::string> arguments, bool pipes,
                                         const std::string& token = {});
    std::optional<std::string> stopCooling();                                         // lock_ held
    void checkCooling();                                                              // lock_ held
    void forgetCooling(const std::optional<std::string>& failure, bool keepFailure);  // lock_ held
    ActionResult send(const pyrelle::ControlRequest& request);                        // lock_ held
    void apply(const pyrelle::ControlReply& reply);                                   // lock_ held
    std::vector<std::string> command(std::vector<std::string> arguments) const;
    ActionResult refusedWithoutRights() const;

    HelperSettings settings_;
    mutable std::mutex lock_;
    std::unique_ptr<ChildProcess> session_;            // guarded by lock_
    std::optional<pyrelle::ControlChannel> replies_;   // guarded by lock_
    std::optional<pyrelle::ControlChannel> requests_;  // guarded by lock_
    std::unique_ptr<ChildProcess> cooling_;            // guarded by lock_
    std::string coolingStopFile_;                      // guarded by lock_
    double coolingStarted_ = 0;                        // guarded by lock_
    std::optional<double> leaseDeadline_;              // of the session's lease; lock_
    std::optional<std::string> lastFailedReply_;       // of the session; guarded by lock_
    // Ended helpers whose standard error is still open, and how much of it was reported.
    std::vector<std::pair<std::unique_ptr<ChildProcess>, std::string>> retired_;  // lock_
    std::atomic<bool> droveFans_{false};
    mutable std::mutex stateLock_;
    ControlView state_;  // guarded by stateLock_
};

}  // namespace kilnview
