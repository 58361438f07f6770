#pragma once

#include <functional>
#include <map>
#include <vector>

#include "pyrelle/CoolingHardware.hpp"
#include "pyrelle/FanControlProgress.hpp"
#include "pyrelle/FanCurve.hpp"
#include "pyrelle/HandBackRetry.hpp"
#include "pyrelle/Snapshot.hpp"

namespace pyrelle {

// Runs a fan curve for a bounded time: sample, verify the last writes, apply protection and
// smoothing, write only changes of 30 rpm or more, and hand every fan back at the end.
namespace CurveLease {

struct Callbacks {
    std::function<void(const FanControlProgress&)> onUpdate;  // after each cycle's writes
    std::function<void()> onApplied;                          // once, after the first writes
};

// Runs `curve` for `duration` seconds (0 < duration ≤ 1800). All callbacks run on the calling
// thread. Refusals happen before any write; after the first cycle started, every path ends with
// restoreAuto of the initial fans (tried again within `retry`), and a failure is thrown only
// after that restore was tried.
void run(CoolingHardware& hardware, const FanCurve& curve, double duration,
         const std::function<Snapshot()>& sample, const std::function<double()>& now,
         const std::function<bool()>& isCancelled, const std::function<void()>& wait,
         const Callbacks& callbacks = {}, const HandBackRetry& retry = {});

// One target per map entry, ordered by fan id.
std::vector<FanTarget> fanTargets(const std::map<int, double>& written);

}  // namespace CurveLease
}  // namespace pyrelle
