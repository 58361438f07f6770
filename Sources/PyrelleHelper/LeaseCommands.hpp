#pragma once
// The helper's one-shot fan commands: `cooling` / `test-fans` (a bounded full-speed run),
// `profile custom` (a bounded run of the caller's curve) and `auto` (every fan back to
// system-automatic control). Each run ends when its owner exits, a stop signal arrives, the
// stop file appears, or its time is up; every path hands the fans back before it reports.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "HelperEntry.hpp"
#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/HandBackRetry.hpp"
#include "pyrelle/SMC.hpp"

namespace pyrelle::helper {

// Everything the commands take from the operating system, so tests can substitute it.
struct LeaseEnvironment {
    std::function<double()> now;                        // continuous clock, seconds
    std::function<void(double)> sleep;                  // blocking pause, seconds
    std::function<void()> installStopHandlers;          // SIGTERM, SIGINT, SIGHUP
    std::function<bool()> stopSignalled;                // a stop signal has arrived
    std::function<bool(int32_t, uint32_t)> ownerAlive;  // pid still runs as uid
    // The stop file test: a plain file at the path (not a symbolic link) that belongs to
    // the given owner uid or to root; a file of anybody else's asks nothing.
    std::function<bool(const std::string&, uint32_t)> stopFilePresent;

    // The real clock, sleep, signals, owner check (pinned by a pidfd, see OwnerWatch) and
    // file test.
    static LeaseEnvironment system();
};

// Owner identity given on the command line.
struct LeaseOwner {
    int32_t pid = 0;
    uint32_t uid = 0;
    std::string stopFile;  // "/tmp/pyrelle-stop-" + the token in upper case
};

// A decimal integer with an optional sign and nothing around it (no blanks); absent otherwise
// or when it does not fit 64 bits.
std::optional<long long> parseDecimal(const std::string& text);

// Argument formats of the lease commands; each answers absent for text that does not fit.
std::optional<int32_t> parseOwnerPid(const std::string& text);       // signed 32-bit, ≥ 2
std::optional<uint32_t> parseOwnerUid(const std::string& text);      // unsigned 32-bit, ≠ 0
std::optional<std::string> canonicalToken(const std::string& text);  // upper-case UUID text
std::string stopFilePath(const std::string& canonicalToken);

void runCooling(const Arguments& args, double duration, std::ostream& out,
                const LeaseEnvironment& environment);
void runProfile(const Arguments& args, std::ostream& out, const LeaseEnvironment& environment);
void runAuto(const Arguments& args, std::ostream& out);

// The helper's bound on a hand-back through `smc`: three passes within 2 seconds of the first
// failure, the connection reopened before each later one. With `releaseUnlock` (`auto` and
// the guardian, whose controller took no fan itself) an unlock flag "Ftst" still set by a
// session that is gone is cleared, verified, when it keeps the fans from being confirmed.
HandBackRetry handBackRetry(SMC& smc, bool releaseUnlock);

// Every fan the device lists back to system-automatic control, the hand-back of `auto` and of
// the guardian: while no fan can be read the list is read again after a reconnection, within
// `retry`'s passes. Throws ScopeError "没有可读取的风扇" when none could be read, otherwise
// the restore's failure ("恢复自动风扇失败：…").
void handBackAll(CoolingHardware& fans, const HandBackRetry& retry);

// One round of the guardian's work (see Guardian): a fresh device connection, one pass of
// handBackAll, then a check that every fan reads automatic and the unlock flag "Ftst" is 0.
// Throws when any of it fails; the guardian itself paces the rounds.
void guardianHandBack();

}  // namespace pyrelle::helper
