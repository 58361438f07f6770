#pragma once
// The guardian: a small process, forked from the helper before it first writes to a fan, that
// outlives the helper and finishes what the helper could not.
//
// The helper and its guardian talk over a socket pair, in ASCII lines from the helper and
// single bytes back:
//   "L <seconds>\n"   a lease begins and lasts at most <seconds> (decimal) from the moment
//                     its lock is held. The guardian records the device's identity and takes
//                     the device's lease lock (see LeaseLock), trying for up to kLockWait
//                     seconds, and answers 'K' (held: the lease's time starts now and the
//                     helper may write), 'B' (an earlier lease's guardian still holds the
//                     device) or 'E' (no lock can be made). The helper writes nothing to a
//                     fan before 'K', and ends its lease by its own clock at <seconds> after it.
//   "A\n"             a write that may take a fan out of automatic control follows ("armed").
//   "R\n"             the lease is over and the fans are verifiably automatic (or were never
//                     touched): the guardian disarms and lets the lock go.
// The guardian acts when the stream ends while it is armed (the helper was killed, crashed or
// gave up after a failed hand-back), or when a lease's time plus kGrace passes without "R"
// (the helper is frozen; the guardian SIGKILLs it first). It then hands the fans back —
// every fan's mode, then the unlock flag, verified, through the one restore routine the
// leases and `auto` use — over a fresh connection each round, with a pause of kFirstPause
// doubling up to kFastPause between rounds, until they read automatic; after kPatience
// seconds of failure it says so on standard error (the helper's, which the desktop
// application reads) and goes on every kSlowPause. It exits as soon as the fans are back and
// never writes after that. It stands down, with a message, when the device it recorded is gone
// or replaced, so it never writes to a different device that answers at the same address. It
// keeps the lease lock until it exits, so no new lease fights its hand-back.
//
// It takes no arguments and reads nothing but those lines, so it cannot be used to drive the
// fans. It runs in its own session, ignores the stop signals and sets all its user and group
// ids to root, so no process of the user's account can stop or kill it; it opens the device
// with the caller's file-system identity, as the helper does. What it cannot cover: root
// killing it, and a loss of power; the fans then stay as they were until `auto` or the next
// boot.
//
// It is a plain fork, without exec: there is no hidden command-line mode that anybody could
// start by hand, and the child needs nothing but code already in the helper. The fork happens
// while the helper has a single thread (the one-shot commands never start one; `serve` forks
// before its owner watch and lease threads), so the child inherits no lock held elsewhere.

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "CSMCDeviceIdentity.hpp"
#include "LeaseLock.hpp"

namespace pyrelle::helper {

// What the guardian process takes from the system; tests substitute fakes.
struct GuardianSystem {
    std::function<double()> now;        // the continuous clock, seconds
    std::function<void(double)> pause;  // seconds
    // Waits at most `seconds` for the helper's next bytes and appends them to `into`; false
    // once the stream has ended (nothing more will come). A timeout is true, appending nothing.
    std::function<bool(std::string& into, double seconds)> receive;
    std::function<void(char)> answer;                               // one byte back to the helper
    std::function<std::optional<csmc::DeviceIdentity>()> identify;  // the device there now
    std::function<LeaseLock::Outcome(const csmc::DeviceIdentity&)> lock;  // one attempt
    std::function<void()> unlock;
    std::function<void()> endHelper;  // SIGKILL to the helper
    // One hand-back round through a fresh connection: returns when every fan is verifiably
    // automatic and the unlock flag clear; throws otherwise.
    std::function<void()> handBack;
    std::function<void(const std::string&)> say;  // one line on standard error
};

class Guardian {
public:
    static constexpr double kLockWait = 5;      // seconds a new lease waits for the device
    static constexpr double kAnswerWait = 8;    // the helper's bound on the guardian's answer
    static constexpr double kGrace = 3;         // after a lease's deadline, before it is ended
    static constexpr double kLockRetry = 0.1;   // between attempts on a held lock
    static constexpr double kFirstPause = 0.2;  // hand-back rounds: first pause, doubling ...
    static constexpr double kFastPause = 3.2;   // ... up to this
    static constexpr double kPatience = 600;    // seconds of failure before it says so
    static constexpr double kSlowPause = 30;    // and the pace after that

    // One hand-back round of the real guardian (see GuardianSystem::handBack).
    using HandBack = std::function<void()>;

    // Forks the guardian. Call it while the helper has a single thread. Throws ScopeError
    // kCannotGuard when the process cannot be started.
    explicit Guardian(const HandBack& handBack);
    // Closes the stream: the guardian acts now if it is armed, and exits otherwise.
    ~Guardian();
    Guardian(const Guardian&) = delete;
    Guardian& operator=(const Guardian&) = delete;

    // A lease of at most `seconds` begins: returns once the guardian holds the device's lease
    // lock (the lease's time starts then); throws ScopeError kLeaseBusy, kLeaseLockUnavailable
    // or kCannotGuard. Call it before the lease's first write. Thread-safe, like arm and
    // handedBack.
    void begin(double seconds);
    // Before a write that may take a fan out of automatic control.
    void arm();
    // The lease is over with the fans verifiably automatic (or untouched).
    void handedBack();

    // The guardian process's whole life (see above); returns its exit status: 0 when it had
    // nothing to do or handed the fans back, 1 when it stood down without them. Exposed so
    // tests can run it in-process.
    static int watch(const GuardianSystem& system);

private:
    bool send(const std::string& line);  // false once the guardian is gone

    std::mutex mutex_;
    int channel_ = -1;     // guarded by mutex_
    bool leased_ = false;  // guarded by mutex_
    bool armed_ = false;   // guarded by mutex_
};

}  // namespace pyrelle::helper
