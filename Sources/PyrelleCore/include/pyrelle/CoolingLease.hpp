#pragma once

#include <functional>
#include <vector>

#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/HandBackRetry.hpp"

namespace pyrelle {

// A bounded full-speed cooling run, and the one routine that hands fans back to
// system-automatic control. Stateless: everything a run needs lives in its locals.
namespace CoolingLease {

// Drives every fan at its rated maximum for `duration` seconds (0 < duration ≤ 300), checking
// once per `wait()` that each fan stays manual at its target. Refuses (without writing) unless
// every fan is automatic with a plausible range and current target. After the first write every
// path ends with restoreAuto of all fans read at the start; a failure is thrown only after that
// restore was tried, with the restore's failure appended after "；". A cancellation before any
// write, a cancellation while monitoring, and the deadline all return normally.
// `retry` bounds how the hand-back is tried again when the device stumbles.
void run(CoolingHardware& hardware, double duration, const std::function<double()>& now,
         const std::function<bool()>& isCancelled, const std::function<void()>& wait,
         const HandBackRetry& retry = {});

// The one hand-back to system-automatic control, used by the leases, `auto` and the guardian.
// Switches each listed fan to system-automatic mode, trying every fan even after a failure;
// with `retry`, the fans that failed are tried again in later passes within its bound (after
// clearing a left-over unlock flag when `retry` can). Throws ScopeError "恢复自动风扇失败："
// + the last pass's failed fans' errors joined by "；" (and the unlock flag's error, if any).
void restoreAuto(CoolingHardware& hardware, const std::vector<int>& ids,
                 const HandBackRetry& retry = {});

// Throws unless the fan's range is known and its current target lies within it.
void validateInheritedTarget(CoolingHardware& hardware, const FanReading& fan);

// Runs `restoreAuto(ids)` after `failure` and rethrows: the original error unchanged when the
// restore succeeded, otherwise one ScopeError "<failure>；<restore failure>".
[[noreturn]] void failAfterRestore(CoolingHardware& hardware, const std::vector<int>& ids,
                                   std::exception_ptr failure, const HandBackRetry& retry = {});

}  // namespace CoolingLease
}  // namespace pyrelle
