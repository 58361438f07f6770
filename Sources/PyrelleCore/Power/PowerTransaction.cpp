#include "pyrelle/PowerTransaction.hpp"

#include <exception>
#include <string>
#include <vector>

#include "pyrelle/PowerRecoveryError.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::PowerTransaction {

namespace {

const char* const sourceChanged = "供电状态已变化，请刷新优化方案";
const char* const sleepBlocked = "存在阻止休眠的任务，未修改休眠设置";
const char* const turboUnknown = "睿频状态不可确认";
const char* const partialRollback = "；部分原设置未确认恢复：";
const char* const restoreUnreadable = "部分原设置暂不可读取，恢复记录已保留：";

// How an entry is named in a failure message: the setting and the user's original value,
// so the value is on record even when nothing else survives ("插电·系统闲置休眠（原值 10）").
std::string original(const PowerEdit& edit) {
    return std::string(title(edit.source)) + "·" + std::string(title(edit.key)) + "（原值 " +
           std::to_string(edit.before) + "）";
}

std::string originalTurbo(std::int64_t before) {
    return before == 1 ? "睿频（原为关闭）" : "睿频（原为开启）";
}

std::string joined(const std::vector<std::string>& entries) {
    std::string text;
    for (size_t index = 0; index < entries.size(); ++index) {
        if (index > 0) text += "；";
        text += entries[index];
    }
    return text;
}

// Puts back every attempted edit, last first, and throws: the cause unchanged when every
// write-back was confirmed, otherwise a PowerRecoveryError naming each unconfirmed entry with
// its original value and carrying a backup of exactly those entries (and of the turbo switch
// when `turboUnconfirmed`), so the user's values are never recorded nowhere.
[[noreturn]] void rollBack(const std::vector<PowerEdit>& applied, PowerSettingsAccess& access,
                           const std::exception_ptr& cause, std::vector<std::string> failures,
                           bool turboUnconfirmed, const std::function<Date()>& now) {
    std::vector<PowerEdit> unconfirmed;
    for (auto edit = applied.rbegin(); edit != applied.rend(); ++edit) {
        try {
            access.set(edit->key, edit->source, edit->before);
        } catch (...) {
            failures.push_back(original(*edit) + "：" + describeFailure(std::current_exception()));
            unconfirmed.insert(unconfirmed.begin(), *edit);  // kept in the order applied
        }
    }
    if (failures.empty()) std::rethrow_exception(cause);
    throw PowerRecoveryError(
        describeFailure(cause) + partialRollback + joined(failures),
        PowerBackup::create(std::move(unconfirmed),
                            turboUnconfirmed ? std::optional<std::int64_t>(0) : std::nullopt,
                            now()));
}

}  // namespace

PowerOutcome apply(const PowerOptimizationPlan& plan, PowerSettingsAccess& access,
                   const std::function<Date()>& now) {
    // Nothing is written until every check has passed.
    const PowerConfiguration configuration = access.configuration();
    plan.requireReadable(configuration);

    const auto source = access.currentSource();
    if (!source || *source != plan.source) throw ScopeError(sourceChanged);

    if (plan.idleMinutes && access.hasSleepBlockers()) throw ScopeError(sleepBlocked);

    const std::vector<PowerEdit> edits = plan.edits(configuration);

    bool switchTurbo = false;
    if (plan.disableTurbo) {
        const auto state = access.turboState();
        if (state == 0) {
            switchTurbo = true;
        } else if (state != 1) {
            throw ScopeError(turboUnknown);
        }
    }

    const Date startedAt = now();
    std::vector<PowerEdit> applied;
    applied.reserve(edits.size());
    for (const PowerEdit& edit : edits) {
        // Listed before the write: a failed write may still have changed the setting.
        applied.push_back(edit);
        try {
            access.set(edit.key, edit.source, edit.after);
        } catch (...) {
            rollBack(applied, access, std::current_exception(), {}, false, now);
        }
    }

    if (switchTurbo) {
        try {
            access.setTurbo(true);
        } catch (...) {
            const auto cause = std::current_exception();
            std::vector<std::string> failures;
            try {
                access.setTurbo(false);
            } catch (...) {
                failures.push_back(originalTurbo(0) + "：" +
                                   describeFailure(std::current_exception()));
            }
            const bool turboUnconfirmed = !failures.empty();
            rollBack(applied, access, cause, std::move(failures), turboUnconfirmed, now);
        }
    }

    if (edits.empty() && !switchTurbo) return PowerOutcome{std::nullopt, false, 0, startedAt};
    auto backup = PowerBackup::create(
        edits, switchTurbo ? std::optional<std::int64_t>(0) : std::nullopt, now());
    return PowerOutcome{std::move(backup), true, 0, startedAt};
}

PowerOutcome restore(const PowerBackup& backup, PowerSettingsAccess& access) {
    backup.validate();
    const PowerConfiguration configuration = access.configuration();

    // A setting that cannot be read now is not one the user changed: it stays in the backup
    // and the restore fails, so the record survives for a retry.
    PowerBackup unreadable = backup;
    unreadable.edits.clear();
    unreadable.turboBefore.reset();
    std::vector<std::string> named;

    PowerOutcome outcome;
    for (auto edit = backup.edits.rbegin(); edit != backup.edits.rend(); ++edit) {
        const auto current = configuration.value(edit->key, edit->source);
        if (current == edit->before) continue;
        if (!current) {
            unreadable.edits.insert(unreadable.edits.begin(), *edit);
            named.insert(named.begin(), original(*edit));
        } else if (current == edit->after) {
            access.set(edit->key, edit->source, edit->before);
            outcome.changed = true;
        } else {
            // Changed from outside since the transaction: the user's choice stands.
            outcome.skipped += 1;
        }
    }

    if (backup.turboBefore) {
        const auto state = access.turboState();
        if (state == backup.turboBefore) {
            // Already as it was before the transaction.
        } else if (!state) {
            unreadable.turboBefore = backup.turboBefore;
            named.push_back(originalTurbo(*backup.turboBefore));
        } else if (state == 1) {
            // Still switched off as the transaction left it: switch it back on.
            access.setTurbo(false);
            outcome.changed = true;
        } else {
            outcome.skipped += 1;
        }
    }
    if (!named.empty()) {
        throw PowerRecoveryError(restoreUnreadable + joined(named), std::move(unreadable));
    }
    return outcome;
}

}  // namespace pyrelle::PowerTransaction
