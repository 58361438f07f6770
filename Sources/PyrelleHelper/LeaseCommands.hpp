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
#include "pyrelle/SMC.hpp"

namespace pyrelle::helper {

// Everything the commands take from the operating system, so tests can substitute it.
struct LeaseEnvironment {
    std::function<double()> now;                         // continuous clock, seconds
    std::function<void(double)> sleep;                   // blocking pause, seconds
    std::function<void()> installStopHandlers;           // SIGTERM, SIGINT, SIGHUP
    std::function<bool()> stopSignalled;                 // a stop signal has arrived
    std::function<bool(int32_t, uint32_t)> ownerAlive;   // pid still runs as uid
    std::function<bool(const std::string&)> fileExists;  // the stop file test

    // The real clock, sleep, signals, owner check and file test.
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

// Every listed fan back to system-automatic control; when that cannot be confirmed because
// the unlock flag "Ftst" is still set by a session that is gone, the flag is cleared and the
// hand-back tried once more. Throws the restore's ScopeError otherwise.
void handBackAll(SMC& smc, const std::vector<int>& ids);

}  // namespace pyrelle::helper
