#include <gtest/gtest.h>

#include "FakePowerAccess.hpp"
#include "pyrelle/PowerTransaction.hpp"

using namespace pyrelle;
using pyrelle::testing::FakePowerAccess;
using Calls = std::vector<std::string>;

namespace {

const char* const intelOnly = "Intel 睿频不适用于 Apple Silicon";

class PowerTransactionTest : public ::testing::Test {
protected:
    void SetUp() override {
        access.system.profiles[PowerSource::ac] = {{PowerSetting::lowpowermode, 0},
                                                   {PowerSetting::displaysleep, 10},
                                                   {PowerSetting::sleep, 1}};
        access.system.profiles[PowerSource::battery] = {{PowerSetting::lowpowermode, 0},
                                                        {PowerSetting::displaysleep, 2},
                                                        {PowerSetting::sleep, 1}};
        original = access.system;
    }

    // Low power, display 5 and idle 15 on AC: three writes.
    static PowerOptimizationPlan threeEdits() {
        return {PowerSource::ac, PowerScope::current, true, 5, 15, false, std::nullopt};
    }

    std::string applyFailure(const PowerOptimizationPlan& plan) {
        try {
            PowerTransaction::apply(plan, access, clock);
        } catch (const ScopeError& error) {
            return error.what();
        }
        return "";
    }

    FakePowerAccess access;
    PowerConfiguration original;
    std::function<Date()> clock = [] { return Date(1000); };
};

TEST_F(PowerTransactionTest, AppliesEveryEditInOrderAndReturnsTheBackup) {
    const auto outcome = PowerTransaction::apply(threeEdits(), access, clock);
    EXPECT_EQ(access.calls,
              (Calls{"configuration", "currentSource", "hasSleepBlockers", "set ac:lowpowermode=1",
                     "set ac:displaysleep=5", "set ac:sleep=15"}));
    ASSERT_TRUE(outcome.backup);
    EXPECT_EQ(outcome.backup->edits,
              (std::vector<PowerEdit>{{PowerSource::ac, PowerSetting::lowpowermode, 0, 1},
                                      {PowerSource::ac, PowerSetting::displaysleep, 10, 5},
                                      {PowerSource::ac, PowerSetting::sleep, 1, 15}}));
    EXPECT_EQ(outcome.backup->turboBefore, std::nullopt);
    EXPECT_TRUE(outcome.changed);
    EXPECT_EQ(outcome.skipped, 0);
    EXPECT_EQ(outcome.startedAt, Date(1000));
    EXPECT_NO_THROW(outcome.backup->validate());
}

TEST_F(PowerTransactionTest, NothingToChangeWritesNothing) {
    const PowerOptimizationPlan plan{PowerSource::ac, PowerScope::current, false, 10, std::nullopt,
                                     false,           std::nullopt};
    const auto outcome = PowerTransaction::apply(plan, access, clock);
    EXPECT_TRUE(access.writes().empty());
    EXPECT_EQ(outcome, (PowerOutcome{std::nullopt, false, 0, Date(1000)}));
}

TEST_F(PowerTransactionTest, TurboAlreadyOffNeedsNoSwitchAndNoTurboRecord) {
    access.turbo = 1;
    PowerOptimizationPlan plan{PowerSource::ac, PowerScope::current, false, 10, std::nullopt, true,
                               std::nullopt};
    EXPECT_EQ(PowerTransaction::apply(plan, access, clock),
              (PowerOutcome{std::nullopt, false, 0, Date(1000)}));
    plan.displayMinutes = 2;
    const auto outcome = PowerTransaction::apply(plan, access, clock);
    ASSERT_TRUE(outcome.backup);
    EXPECT_EQ(outcome.backup->turboBefore, std::nullopt);
    EXPECT_EQ(access.writes(), (Calls{"set ac:displaysleep=2"}));
}

TEST_F(PowerTransactionTest, SwitchesTurboAfterTheSettingsAndRecordsItsEarlierState) {
    PowerOptimizationPlan plan = threeEdits();
    plan.disableTurbo = true;
    const auto outcome = PowerTransaction::apply(plan, access, clock);
    EXPECT_EQ(access.writes(), (Calls{"set ac:lowpowermode=1", "set ac:displaysleep=5",
                                      "set ac:sleep=15", "setTurbo true"}));
    ASSERT_TRUE(outcome.backup);
    EXPECT_EQ(outcome.backup->turboBefore, 0);

    // Turbo alone is a change too.
    FakePowerAccess turboOnly;
    turboOnly.system = original;
    const auto alone = PowerTransaction::apply({PowerSource::ac, PowerScope::current, false,
                                                std::nullopt, std::nullopt, true, std::nullopt},
                                               turboOnly, clock);
    ASSERT_TRUE(alone.backup);
    EXPECT_TRUE(alone.backup->edits.empty());
    EXPECT_TRUE(alone.changed);
}

TEST_F(PowerTransactionTest, RefusalsBeforeAnyWriteLeaveTheSystemUntouched) {
    struct Case {
        const char* name;
        std::function<void(FakePowerAccess&, PowerOptimizationPlan&)> setUp;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"settings unreadable", [](auto& a, auto&) { a.configurationFailure = "电源设置读取失败"; },
         "电源设置读取失败"},
        {"invalid plan", [](auto&, auto& p) { p.idleMinutes = 7; }, "无效的系统休眠时间"},
        {"settings changed since the plan",
         [](auto& a, auto& p) {
             p.expected = a.system;
             a.system.profiles[PowerSource::ac][PowerSetting::displaysleep] = 3;
         },
         "电源设置已变化，请刷新后重新选择措施"},
        {"setting unreadable",
         [](auto& a, auto&) { a.system.profiles[PowerSource::ac].erase(PowerSetting::sleep); },
         "系统休眠设置不可读取"},
        {"source changed", [](auto& a, auto&) { a.source = PowerSource::battery; },
         "供电状态已变化，请刷新优化方案"},
        {"source unknown", [](auto& a, auto&) { a.source.reset(); },
         "供电状态已变化，请刷新优化方案"},
        {"sleep blocked", [](auto& a, auto&) { a.blockers = true; },
         "存在阻止休眠的任务，未修改休眠设置"},
        {"blockers unreadable", [](auto& a, auto&) { a.blockersFailure = "休眠阻止状态不可读取"; },
         "休眠阻止状态不可读取"},
        {"turbo unknown",
         [](auto& a, auto& p) {
             p.disableTurbo = true;
             a.turbo.reset();
         },
         "睿频状态不可确认"},
        {"turbo state out of range",
         [](auto& a, auto& p) {
             p.disableTurbo = true;
             a.turbo = 2;
         },
         "睿频状态不可确认"},
    };
    for (const Case& test : cases) {
        FakePowerAccess fresh;
        fresh.system = original;
        PowerOptimizationPlan plan = threeEdits();
        test.setUp(fresh, plan);
        const auto before = fresh.system;
        std::string message;
        try {
            PowerTransaction::apply(plan, fresh, clock);
        } catch (const ScopeError& error) {
            message = error.what();
        }
        EXPECT_EQ(message, test.message) << test.name;
        EXPECT_TRUE(fresh.writes().empty()) << test.name;
        EXPECT_EQ(fresh.system, before) << test.name;
    }
}

TEST_F(PowerTransactionTest, SleepBlockersOnlyMatterWhenIdleSleepChanges) {
    access.blockers = true;
    access.blockersFailure = "休眠阻止状态不可读取";
    const PowerOptimizationPlan displayOnly{
        PowerSource::ac, PowerScope::current, true, 5, std::nullopt, false, std::nullopt};
    EXPECT_TRUE(PowerTransaction::apply(displayOnly, access, clock).changed);
    EXPECT_EQ(std::count(access.calls.begin(), access.calls.end(), "hasSleepBlockers"), 0);
}

TEST_F(PowerTransactionTest, SecondOfThreeWritesFailingRollsBackInReverse) {
    access.setFailures[1] = "系统电源设置读回不一致";
    access.failedWritesTakeEffect = true;  // the failed write may still have changed the setting
    EXPECT_EQ(applyFailure(threeEdits()), "系统电源设置读回不一致");
    EXPECT_EQ(access.writes(), (Calls{"set ac:lowpowermode=1", "set ac:displaysleep=5",
                                      "set ac:displaysleep=10", "set ac:lowpowermode=0"}));
    EXPECT_EQ(access.system, original);
}

TEST_F(PowerTransactionTest, RollbackFailuresNameTheOriginalsAndKeepTheirBackup) {
    access.setFailures[2] = "系统电源设置未完成：busy";
    access.setFailures[3] = "系统电源设置读回不一致";          // putting sleep back
    access.setFailures[5] = "命令超时。请刷新状态确认结果。";  // putting low power back
    std::optional<PowerRecoveryError> failure;
    try {
        PowerTransaction::apply(threeEdits(), access, clock);
    } catch (const PowerRecoveryError& error) {
        failure = error;
    }
    ASSERT_TRUE(failure);
    EXPECT_STREQ(
        failure->what(),
        "系统电源设置未完成：busy；部分原设置未确认恢复：插电·系统闲置休眠（原值 1）：系统电源"
        "设置读回不一致；插电·系统低电量模式（原值 0）：命令超时。请刷新状态确认结果。");
    // The walk goes on after a failed write-back.
    EXPECT_EQ(access.writes(),
              (Calls{"set ac:lowpowermode=1", "set ac:displaysleep=5", "set ac:sleep=15",
                     "set ac:sleep=1", "set ac:displaysleep=10", "set ac:lowpowermode=0"}));
    // Exactly the unconfirmed entries are kept, and restoring them later recovers the user's
    // settings.
    const PowerBackup& kept = failure->backup();
    EXPECT_EQ(kept.edits,
              (std::vector<PowerEdit>{{PowerSource::ac, PowerSetting::lowpowermode, 0, 1},
                                      {PowerSource::ac, PowerSetting::sleep, 1, 15}}));
    EXPECT_EQ(kept.turboBefore, std::nullopt);
    EXPECT_NO_THROW(kept.validate());
    EXPECT_TRUE(PowerTransaction::restore(kept, access).changed);
    EXPECT_EQ(access.system, original);
}

TEST_F(PowerTransactionTest, FailedTurboSwitchIsSwitchedBackBeforeTheSettings) {
    PowerOptimizationPlan plan{PowerSource::ac, PowerScope::current, true, 5, std::nullopt, true,
                               std::nullopt};
    access.turboFailures[0] = intelOnly;
    EXPECT_EQ(applyFailure(plan), intelOnly);
    EXPECT_EQ(access.writes(),
              (Calls{"set ac:lowpowermode=1", "set ac:displaysleep=5", "setTurbo true",
                     "setTurbo false", "set ac:displaysleep=10", "set ac:lowpowermode=0"}));
    EXPECT_EQ(access.system, original);
}

TEST_F(PowerTransactionTest, FailedTurboSwitchBackLeadsTheFailureList) {
    PowerOptimizationPlan plan{PowerSource::ac, PowerScope::current, true, 5, std::nullopt, true,
                               std::nullopt};
    access.turboFailures[0] = intelOnly;
    access.turboFailures[1] = intelOnly;
    access.setFailures[3] = "系统电源设置读回不一致";  // putting low power back
    EXPECT_EQ(applyFailure(plan), std::string(intelOnly) +
                                      "；部分原设置未确认恢复：睿频（原为开启）：" + intelOnly +
                                      "；插电·系统低电量模式（原值 0）：系统电源设置读回不一致");
    try {
        PowerTransaction::apply(plan, access, clock);
    } catch (const PowerRecoveryError& error) {
        EXPECT_EQ(error.backup().turboBefore, 0);
    }
}

TEST_F(PowerTransactionTest, NonScopeFailuresStillRollBack) {
    class Throwing : public FakePowerAccess {
    public:
        void set(PowerSetting setting, PowerSource on, std::int64_t value) override {
            FakePowerAccess::set(setting, on, value);
            if (writes().size() == 2) throw std::runtime_error("lost");
        }
    } throwing;
    throwing.system = original;
    EXPECT_THROW(PowerTransaction::apply(threeEdits(), throwing, clock), std::runtime_error);
    EXPECT_EQ(throwing.system, original);
}

class PowerRestoreTest : public PowerTransactionTest {
protected:
    void SetUp() override {
        PowerTransactionTest::SetUp();
        PowerOptimizationPlan plan = threeEdits();
        plan.disableTurbo = true;
        backup = *PowerTransaction::apply(plan, access, clock).backup;
        access.calls.clear();
    }
    PowerBackup backup;
};

TEST_F(PowerRestoreTest, WritesBackLastFirstAndSwitchesTurboBackOn) {
    const auto outcome = PowerTransaction::restore(backup, access);
    EXPECT_EQ(access.writes(), (Calls{"set ac:sleep=1", "set ac:displaysleep=10",
                                      "set ac:lowpowermode=0", "setTurbo false"}));
    EXPECT_EQ(outcome, (PowerOutcome{std::nullopt, true, 0, std::nullopt}));
    EXPECT_EQ(access.system, original);
    EXPECT_EQ(access.turbo, 0);
}

TEST_F(PowerRestoreTest, LeavesOutsideChangesAlone) {
    access.system.profiles[PowerSource::ac][PowerSetting::displaysleep] = 20;
    const auto outcome = PowerTransaction::restore(backup, access);
    EXPECT_EQ(access.writes(),
              (Calls{"set ac:sleep=1", "set ac:lowpowermode=0", "setTurbo false"}));
    EXPECT_EQ(outcome.skipped, 1);
    EXPECT_TRUE(outcome.changed);
    EXPECT_EQ(access.system.value(PowerSetting::displaysleep, PowerSource::ac), 20);
}

TEST_F(PowerRestoreTest, RunningTwiceWritesNothingTheSecondTime) {
    PowerTransaction::restore(backup, access);
    access.calls.clear();
    EXPECT_EQ(PowerTransaction::restore(backup, access),
              (PowerOutcome{std::nullopt, false, 0, std::nullopt}));
    EXPECT_TRUE(access.writes().empty());
}

// Unreadable is not changed: the readable entries are restored, the rest stay on record.
TEST_F(PowerRestoreTest, UnreadableEntriesFailAndStayInTheBackup) {
    access.system.profiles[PowerSource::ac].erase(PowerSetting::displaysleep);
    access.turbo.reset();
    std::optional<PowerRecoveryError> failure;
    try {
        PowerTransaction::restore(backup, access);
    } catch (const PowerRecoveryError& error) {
        failure = error;
    }
    ASSERT_TRUE(failure);
    EXPECT_STREQ(
        failure->what(),
        "部分原设置暂不可读取，恢复记录已保留：插电·显示器休眠（原值 10）；睿频（原为开启）");
    EXPECT_EQ(access.writes(), (Calls{"set ac:sleep=1", "set ac:lowpowermode=0"}));
    const PowerBackup& kept = failure->backup();
    EXPECT_EQ(kept.id, backup.id);
    EXPECT_EQ(kept.edits,
              (std::vector<PowerEdit>{{PowerSource::ac, PowerSetting::displaysleep, 10, 5}}));
    EXPECT_EQ(kept.turboBefore, 0);

    // Once readable again, the retry finishes the job.
    access.system.profiles[PowerSource::ac][PowerSetting::displaysleep] = 5;
    access.turbo = 1;
    EXPECT_EQ(PowerTransaction::restore(kept, access),
              (PowerOutcome{std::nullopt, true, 0, std::nullopt}));
    EXPECT_EQ(access.system, original);
    EXPECT_EQ(access.turbo, 0);

    access.system = PowerConfiguration{};
    EXPECT_THROW(PowerTransaction::restore(backup, access), PowerRecoveryError);
}

TEST_F(PowerRestoreTest, AFailedWriteStopsTheWalk) {
    access.setFailures[3 + 1] =
        "系统电源设置读回不一致";  // after apply's three writes: the second write-back
    EXPECT_THROW(
        {
            try {
                PowerTransaction::restore(backup, access);
            } catch (const ScopeError& error) {
                EXPECT_STREQ(error.what(), "系统电源设置读回不一致");
                throw;
            }
        },
        ScopeError);
    EXPECT_EQ(access.writes(), (Calls{"set ac:sleep=1", "set ac:displaysleep=10"}));
}

TEST_F(PowerRestoreTest, TurboIsSwitchedOnlyWhileStillAsTheTransactionLeftIt) {
    access.turbo = 0;  // switched back on from outside
    access.system = original;
    EXPECT_EQ(PowerTransaction::restore(backup, access),
              (PowerOutcome{std::nullopt, false, 0, std::nullopt}));
    EXPECT_TRUE(access.writes().empty());

    // A record that says turbo was already off needs nothing while it still is.
    PowerBackup wasOff = backup;
    wasOff.turboBefore = 1;
    access.turbo = 1;
    EXPECT_EQ(PowerTransaction::restore(wasOff, access),
              (PowerOutcome{std::nullopt, false, 0, std::nullopt}));
    access.turbo = 0;
    EXPECT_EQ(PowerTransaction::restore(wasOff, access).skipped, 1);
    EXPECT_TRUE(access.writes().empty());
}

TEST_F(PowerRestoreTest, AnInvalidBackupTouchesNothing) {
    PowerBackup bad = backup;
    bad.edits.push_back(bad.edits.front());
    EXPECT_THROW(PowerTransaction::restore(bad, access), ScopeError);
    EXPECT_TRUE(access.calls.empty());
}

}  // namespace
