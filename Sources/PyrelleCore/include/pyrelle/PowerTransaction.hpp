#pragma once

#include <functional>

#include "pyrelle/Date.hpp"
#include "pyrelle/PowerBackup.hpp"
#include "pyrelle/PowerOptimizationPlan.hpp"
#include "pyrelle/PowerOutcome.hpp"
#include "pyrelle/PowerRecoveryError.hpp"
#include "pyrelle/PowerSettingsAccess.hpp"

namespace pyrelle {

// Applies a power plan as one verified, reversible change and undoes it later from the
// backup it returned. Stateless; callers serialise transactions.
namespace PowerTransaction {

// Reads the settings, checks the plan against them, the power source, sleep blockers (only
// when idle sleep changes) and the turbo state, and only then writes each changed setting
// in plan order, then switches turbo off if asked. A failed write or switch rolls every
// attempted write back, last first, and rethrows the cause. A write-back that fails is a
// PowerRecoveryError: "{cause}；部分原设置未确认恢复：{entry}；…", each entry naming the setting
// and its original value ("插电·系统闲置休眠（原值 10）：{failure}"), its backup holding the
// unconfirmed entries. `now` dates `startedAt` and the backups.
PowerOutcome apply(const PowerOptimizationPlan& plan, PowerSettingsAccess& access,
                   const std::function<Date()>& now = Date::now);

// Writes back, last first, only the entries that still hold the value the transaction
// wrote; entries changed from outside since are left alone and counted in `skipped`.
// Running it twice is harmless. The first failed write ends it. An entry (or the turbo
// state) that cannot be read is not counted as changed: the readable entries are restored,
// then a PowerRecoveryError ("部分原设置暂不可读取，恢复记录已保留：{entry}；…") carries the
// backup reduced to the unreadable entries, same id, for a retry.
PowerOutcome restore(const PowerBackup& backup, PowerSettingsAccess& access);

}  // namespace PowerTransaction

}  // namespace pyrelle
