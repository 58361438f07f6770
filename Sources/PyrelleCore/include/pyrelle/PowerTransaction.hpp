#pragma once

#include <functional>

#include "pyrelle/Date.hpp"
#include "pyrelle/PowerBackup.hpp"
#include "pyrelle/PowerOptimizationPlan.hpp"
#include "pyrelle/PowerOutcome.hpp"
#include "pyrelle/PowerSettingsAccess.hpp"

namespace pyrelle {

// Applies a power plan as one verified, reversible change and undoes it later from the
// backup it returned. Stateless; callers serialise transactions.
namespace PowerTransaction {

// Reads the settings, checks the plan against them, the power source, sleep blockers (only
// when idle sleep changes) and the turbo state, and only then writes each changed setting
// in plan order, then switches turbo off if asked. A failed write or switch rolls every
// attempted write back, last first; a rollback that fails is listed after the cause
// ("{cause}；部分原设置未确认恢复：{failure}；…"). `now` dates `startedAt` and the backup.
PowerOutcome apply(const PowerOptimizationPlan& plan, PowerSettingsAccess& access,
                   const std::function<Date()>& now = Date::now);

// Writes back, last first, only the entries that still hold the value the transaction
// wrote; entries changed from outside since are left alone and counted in `skipped`.
// Running it twice is harmless. The first failed write ends it.
PowerOutcome restore(const PowerBackup& backup, PowerSettingsAccess& access);

}  // namespace PowerTransaction

}  // namespace pyrelle
