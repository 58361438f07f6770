#include "pyrelle/PowerTransaction.hpp"

#include <exception>
#include <string>
#include <vector>

#include "pyrelle/ScopeError.hpp"

namespace pyrelle::PowerTransaction {

namespace {

const char* const sourceChanged = "供电状态已变化，请刷新优化方案";
const char* const sleepBlocked = "存在阻止休眠的任务，未修改休眠设置";
const char* const turboUnknown = "睿频状态不可确认";
const char* const partialRollback = "；部分原设置未确认恢复：";

// Puts back every attempted edit, last first, and throws: the cause unchanged when every
// write-back was confirmed, otherwise the cause followed by the unconfirmed entries.
[[noreturn]] void rollBack(const std::vector<PowerEdit>& applied, PowerSettingsAccess& access,
                           const std::exception_ptr& cause, std::vector<std::string> failures) {
    for (auto edit = applied.rbegin(); edit != applied.rend(); ++edit) {
        try {
            access.set(edit->key, edit->source, edit->before);
        } catch (...) {
            failures.push_back(describeFailure(std::current_exception()));
        }
    }
    if (failures.empty()) std::rethrow_exception(cause);
    std::string message = describeFailure(cause) + partialRollback;
    for (size_t index = 0; index < failures.size(); ++index) {
        if (index > 0) message += "；";
        message += failures[index];
    }
    throw ScopeError(message);
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
            rollBack(applied, access, std::current_exception(), {});
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
                failures.push_back(describeFailure(std::current_exception()));
            }
            rollBack(applied, access, cause, std::move(failures));
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

    PowerOutcome outcome;
    for (auto edit = backup.edits.rbegin(); edit != backup.edits.rend(); ++edit) {
        const auto current = configuration.value(edit->key, edit->source);
        if (current == edit->before) continue;
        if (current == edit->after) {
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
        } else if (state == 1) {
            // Still switched off as the transaction left it: switch it back on.
            access.setTurbo(false);
            outcome.changed = true;
        } else {
            outcome.skipped += 1;
        }
    }
    return outcome;
}

}  // namespace pyrelle::PowerTransaction
