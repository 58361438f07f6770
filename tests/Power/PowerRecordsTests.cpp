#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "pyrelle/PowerBackup.hpp"
#include "pyrelle/PowerOptimizationPlan.hpp"
#include "pyrelle/PowerOutcome.hpp"
#include "pyrelle/ScopeError.hpp"

using namespace pyrelle;
using nlohmann::json;

namespace {

using Target = PowerOptimizationPlan::Target;

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ScopeError& error) {
        return error.what();
    }
    return "";
}

PowerConfiguration fullConfiguration() {
    PowerConfiguration configuration;
    configuration.profiles[PowerSource::ac] = {{PowerSetting::lowpowermode, 0},
                                               {PowerSetting::displaysleep, 10},
                                               {PowerSetting::sleep, 1}};
    configuration.profiles[PowerSource::battery] = {
        {PowerSetting::lowpowermode, 0}, {PowerSetting::displaysleep, 2}, {PowerSetting::sleep, 1}};
    return configuration;
}

TEST(PowerEnumerations, TextsFlagsAndRangesMatchTheSettingsTool) {
    EXPECT_EQ(argument(PowerSource::ac), "-c");
    EXPECT_EQ(argument(PowerSource::battery), "-b");
    EXPECT_EQ(title(PowerSource::battery), "电池");
    EXPECT_EQ(title(PowerSetting::sleep), "系统闲置休眠");
    EXPECT_EQ(parsePowerSetting("displaysleep"), PowerSetting::displaysleep);
    EXPECT_EQ(parsePowerSetting("DisplaySleep"), std::nullopt);
    EXPECT_EQ(parsePowerScope("batteryAutomatic"), PowerScope::batteryAutomatic);

    EXPECT_TRUE(valid(PowerSetting::lowpowermode, 1));
    EXPECT_FALSE(valid(PowerSetting::lowpowermode, 2));
    EXPECT_TRUE(valid(PowerSetting::sleep, 240));
    EXPECT_FALSE(valid(PowerSetting::sleep, 241));
    for (PowerSetting setting : allPowerSettings) {
        EXPECT_TRUE(valid(setting, 0));
        EXPECT_FALSE(valid(setting, -1));
        EXPECT_FALSE(valid(setting, INT64_MIN));
    }
}

TEST(PowerOptimizationPlan, ValidationChecksDisplayBeforeIdleAndNothingElse) {
    struct Case {
        std::optional<std::int64_t> display;
        std::optional<std::int64_t> idle;
        std::string message;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, ""},
        {2, 5, ""},
        {10, 15, ""},
        {0, std::nullopt, "无效的显示器休眠时间"},
        {15, std::nullopt, "无效的显示器休眠时间"},
        {std::nullopt, 2, "无效的系统休眠时间"},
        {std::nullopt, -5, "无效的系统休眠时间"},
        {3, 2, "无效的显示器休眠时间"},
    };
    for (const Case& test : cases) {
        PowerOptimizationPlan plan;
        plan.displayMinutes = test.display;
        plan.idleMinutes = test.idle;
        plan.expected = PowerConfiguration{};  // never checked here
        EXPECT_EQ(failureOf([&] { plan.validate(); }), test.message);
    }
}

TEST(PowerOptimizationPlan, TargetsFollowScopeAndOrder) {
    PowerOptimizationPlan plan{PowerSource::ac, PowerScope::batteryAutomatic, true, 5, 10, true,
                               std::nullopt};
    EXPECT_EQ(plan.targets(),
              (std::vector<Target>{{PowerSource::battery, PowerSetting::lowpowermode, 1},
                                   {PowerSource::ac, PowerSetting::lowpowermode, 0},
                                   {PowerSource::ac, PowerSetting::displaysleep, 5},
                                   {PowerSource::ac, PowerSetting::sleep, 10}}));
    plan.scope = PowerScope::current;
    plan.source = PowerSource::battery;
    plan.idleMinutes.reset();
    EXPECT_EQ(plan.targets(),
              (std::vector<Target>{{PowerSource::battery, PowerSetting::lowpowermode, 1},
                                   {PowerSource::battery, PowerSetting::displaysleep, 5}}));

    const PowerOptimizationPlan empty;
    EXPECT_TRUE(empty.targets().empty());
    EXPECT_TRUE(empty.edits(fullConfiguration()).empty());
}

TEST(PowerOptimizationPlan, EditsSkipUnknownAndUnchangedSettings) {
    PowerConfiguration configuration = fullConfiguration();
    configuration.profiles[PowerSource::ac].erase(PowerSetting::sleep);
    const PowerOptimizationPlan plan{
        PowerSource::ac, PowerScope::batteryAutomatic, true, 10, 5, false, std::nullopt};
    // battery low power 0→1 changes; AC low power is already 0; AC display already 10; AC sleep
    // unknown.
    EXPECT_EQ(plan.edits(configuration),
              (std::vector<PowerEdit>{{PowerSource::battery, PowerSetting::lowpowermode, 0, 1}}));
}

TEST(PowerOptimizationPlan, RequireReadableChecksInOrder) {
    const PowerConfiguration full = fullConfiguration();
    PowerConfiguration noBatteryLowPower = full;
    noBatteryLowPower.profiles[PowerSource::battery].erase(PowerSetting::lowpowermode);
    PowerConfiguration noAcDisplay = full;
    noAcDisplay.profiles[PowerSource::ac].erase(PowerSetting::displaysleep);
    PowerConfiguration noAcSleep = full;
    noAcSleep.profiles[PowerSource::ac].erase(PowerSetting::sleep);
    PowerConfiguration acSleepChanged = full;
    acSleepChanged.profiles[PowerSource::ac][PowerSetting::sleep] = 30;
    PowerConfiguration batteryDisplayChanged = full;
    batteryDisplayChanged.profiles[PowerSource::battery][PowerSetting::displaysleep] = 30;

    const PowerOptimizationPlan lowPowerAuto{
        PowerSource::ac, PowerScope::batteryAutomatic, true, std::nullopt, std::nullopt, false,
        std::nullopt};
    const PowerOptimizationPlan display{
        PowerSource::ac, PowerScope::current, false, 5, std::nullopt, false, std::nullopt};
    const PowerOptimizationPlan idle{PowerSource::ac, PowerScope::current, false, std::nullopt, 5,
                                     false,           std::nullopt};
    PowerOptimizationPlan idleExpected = idle;
    idleExpected.expected = full;
    PowerOptimizationPlan invalidExpected = idleExpected;
    invalidExpected.idleMinutes = 7;
    PowerOptimizationPlan idleExpectingNothing = idle;
    idleExpectingNothing.expected = noAcSleep;

    struct Case {
        const char* name;
        PowerOptimizationPlan plan;
        PowerConfiguration configuration;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"valid", idleExpected, full, ""},
        {"validation first", invalidExpected, acSleepChanged, "无效的系统休眠时间"},
        {"expected differs on a target", idleExpected, acSleepChanged,
         "电源设置已变化，请刷新后重新选择措施"},
        {"expected differs off target", idleExpected, batteryDisplayChanged, ""},
        {"expected value now missing", idleExpected, noAcSleep,
         "电源设置已变化，请刷新后重新选择措施"},
        {"missing in both passes the comparison", idleExpectingNothing, noAcSleep,
         "系统休眠设置不可读取"},
        {"battery low power unreadable", lowPowerAuto, noBatteryLowPower,
         "此设备的系统低电量设置不可读取"},
        {"empty configuration", lowPowerAuto, PowerConfiguration{},
         "此设备的系统低电量设置不可读取"},
        {"display unreadable", display, noAcDisplay, "显示器休眠设置不可读取"},
        {"idle unreadable", idle, noAcSleep, "系统休眠设置不可读取"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(failureOf([&] { test.plan.requireReadable(test.configuration); }), test.message)
            << test.name;
    }
}

TEST(PowerBackup, ValidationRejectsRecordsNoTransactionCouldMake) {
    const auto backupWith = [](std::vector<PowerEdit> edits,
                               std::optional<std::int64_t> turbo = std::nullopt) {
        return PowerBackup{"00000000-0000-0000-0000-000000000000", Date(0), std::move(edits),
                           turbo};
    };
    const PowerEdit acSleep{PowerSource::ac, PowerSetting::sleep, 1, 10};
    std::vector<PowerEdit> six;
    for (PowerSource source : allPowerSources) {
        for (PowerSetting setting : allPowerSettings) six.push_back({source, setting, 0, 1});
    }
    std::vector<PowerEdit> seven = six;
    seven.push_back(acSleep);

    EXPECT_EQ(failureOf([&] { backupWith({}).validate(); }), "");
    EXPECT_EQ(failureOf([&] { backupWith(six, 1).validate(); }), "");
    for (const PowerBackup& bad :
         {backupWith(seven), backupWith({acSleep, acSleep}),
          backupWith({{PowerSource::ac, PowerSetting::sleep, 1, 241}}),
          backupWith({{PowerSource::ac, PowerSetting::lowpowermode, -1, 1}}),
          backupWith({{PowerSource::battery, PowerSetting::lowpowermode, 0, 2}}), backupWith({}, 2),
          backupWith({}, -1)}) {
        EXPECT_EQ(failureOf([&] { bad.validate(); }), "恢复记录无效") << json(bad).dump();
    }
}

TEST(PowerBackup, CreateGivesAFreshUpperCaseIdentity) {
    const auto first = PowerBackup::create({}, 0, Date(5));
    const auto second = PowerBackup::create({}, std::nullopt, Date(5));
    EXPECT_NE(first.id, second.id);
    ASSERT_EQ(first.id.size(), 36u);
    for (char character : first.id)
        EXPECT_TRUE(character == '-' || std::isdigit(character) || std::isupper(character));
    EXPECT_EQ(first.date, Date(5));
    EXPECT_EQ(first.turboBefore, 0);
}

TEST(PowerJSON, ConfigurationUsesAlternatingArraysInAnyOrder) {
    const json written = json::parse(
        R"({"profiles": ["battery", ["sleep", 10, "lowpowermode", 1], "ac", ["displaysleep", 10]]})");
    const auto decoded = written.get<PowerConfiguration>();
    EXPECT_EQ(decoded.value(PowerSetting::sleep, PowerSource::battery), 10);
    EXPECT_EQ(decoded.value(PowerSetting::lowpowermode, PowerSource::battery), 1);
    EXPECT_EQ(decoded.value(PowerSetting::displaysleep, PowerSource::ac), 10);
    EXPECT_EQ(decoded.value(PowerSetting::sleep, PowerSource::ac), std::nullopt);

    const json reencoded = decoded;
    EXPECT_EQ(reencoded.get<PowerConfiguration>(), decoded);
    const json reordered = json::parse(
        R"({"profiles": ["ac", ["displaysleep", 10], "battery", ["lowpowermode", 1, "sleep", 10]]})");
    EXPECT_EQ(reordered.get<PowerConfiguration>(), decoded);
    EXPECT_EQ(json(PowerConfiguration{}).dump(), R"({"profiles":[]})");
}

TEST(PowerJSON, PlanOmitsAbsentOptionalsAndRequiresTheRest) {
    const PowerOptimizationPlan plan{
        PowerSource::battery, PowerScope::batteryAutomatic, true, 5, std::nullopt, false,
        std::nullopt};
    const json encoded = plan;
    EXPECT_EQ(encoded,
              json::parse(R"({"source":"battery","scope":"batteryAutomatic","lowPower":true,
                                       "displayMinutes":5,"disableTurbo":false})"));
    EXPECT_EQ(encoded.get<PowerOptimizationPlan>(), plan);

    PowerOptimizationPlan full = plan;
    full.idleMinutes = 99;  // decoding does not validate
    full.expected = fullConfiguration();
    EXPECT_EQ(json(full).get<PowerOptimizationPlan>(), full);

    for (const char* key : {"source", "scope", "lowPower", "disableTurbo"}) {
        json missing = encoded;
        missing.erase(key);
        EXPECT_THROW(missing.get<PowerOptimizationPlan>(), ScopeError) << key;
    }
}

TEST(PowerJSON, MalformedInputIsRejectedNotCoerced) {
    const char* plans[] = {
        R"({"source":"mains","scope":"current","lowPower":true,"disableTurbo":false})",
        R"({"source":"ac","scope":"current","lowPower":1,"disableTurbo":false})",
        R"({"source":"ac","scope":"current","lowPower":true,"disableTurbo":false,"idleMinutes":5.5})",
        R"({"source":"ac","scope":"current","lowPower":true,"disableTurbo":false,"idleMinutes":"5"})",
        R"({"source":"ac","scope":"current","lowPower":true,"disableTurbo":false,"expected":{"profiles":["ac"]}})",
        R"({"source":"ac","scope":"current","lowPower":true,"disableTurbo":false,"expected":{"profiles":["ac",["sleep"]]}})",
        R"({"source":"ac","scope":"current","lowPower":true,"disableTurbo":false,"expected":{"profiles":["ac",["nap",1]]}})",
        R"(["ac"])",
    };
    for (const char* text : plans)
        EXPECT_THROW(json::parse(text).get<PowerOptimizationPlan>(), ScopeError) << text;

    // A value that would wrap into the valid range if truncated must not decode.
    const char* backups[] = {
        R"({"id":"not-a-uuid","date":0,"edits":[]})",
        R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","edits":[]})",
        R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":0,"edits":{}})",
        R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":0,"edits":[{"source":"ac","key":"sleep","before":4294967297,"after":1e300}]})",
        R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":0,"edits":[{"source":"ac","key":"sleep","before":18446744073709551615,"after":1}]})",
        R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":0,"edits":[{"source":"ac","key":"sleep","after":1}]})",
        R"({"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","date":0,"edits":[],"turboBefore":9223372036854775808.0})",
    };
    for (const char* text : backups)
        EXPECT_THROW(json::parse(text).get<PowerBackup>(), ScopeError) << text;
}

TEST(PowerJSON, BackupAndOutcomeRoundTrip) {
    const auto lower = json::parse(R"({"id":"6f9619ff-8b86-d011-b42d-00c04fc964ff","date":12.5,
        "edits":[{"source":"ac","key":"sleep","before":1,"after":10}],"turboBefore":0})");
    const auto backup = lower.get<PowerBackup>();
    EXPECT_EQ(backup.id, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(backup.date, Date(12.5));
    EXPECT_EQ(backup.edits.at(0).id(), "ac:sleep");
    const json encoded = backup;
    EXPECT_EQ(encoded["id"], "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_TRUE(encoded["date"].is_number());
    EXPECT_EQ(encoded.get<PowerBackup>(), backup);
    EXPECT_FALSE(json(PowerBackup::create({}, std::nullopt)).contains("turboBefore"));

    const PowerOutcome restored{std::nullopt, true, 1, std::nullopt};
    EXPECT_EQ(json(restored), json::parse(R"({"changed":true,"skipped":1})"));
    const PowerOutcome applied{backup, true, 0, Date(10)};
    EXPECT_EQ(json(applied).get<PowerOutcome>(), applied);
}

}  // namespace
