#include <gtest/gtest.h>

#include "FakeFanKeys.hpp"
#include "pyrelle/ScopeError.hpp"

using namespace pyrelle;
using pyrelle::testing::FakeFanKeys;

namespace {

constexpr const char* kNoModeKey = "此风扇没有可识别的 Apple Silicon 模式接口";
constexpr const char* kNotAutomatic = "风扇未处于系统自动，请先退出其他风扇控制程序";
constexpr const char* kTaken = "风扇控制交接已被占用，请先恢复系统自动";
constexpr const char* kUnconfirmed = "未能确认风扇恢复系统自动";
const std::string kRefused = "SMC F0Md 写入失败（132）；此机型可能不支持控制";

std::string failure(const std::function<void()>& action) {
    try {
        action();
    } catch (const ScopeError& error) {
        return error.what();
    }
    return "(no failure)";
}

// Two automatic fans with uppercase mode keys and "Ftst" 0, like an M4 Pro laptop.
std::map<std::string, double> twoFans() {
    return {{"F0Md", 0}, {"F1Md", 0}, {"Ftst", 0}};
}

}  // namespace

TEST(AppleSiliconFanControl, ModeKeyPrefersUppercaseAndLooksUpNothingOutOfRange) {
    FakeFanKeys keys;
    keys.values = {{"F0md", 0}, {"F1Md", 3}, {"F1md", 0}};
    auto control = keys.control();
    EXPECT_EQ(control.modeKey(0), "F0md");
    EXPECT_EQ(control.modeKey(1), "F1Md");
    EXPECT_EQ(control.modeKey(2), std::nullopt);
    keys.reads = 0;
    EXPECT_EQ(control.modeKey(10), std::nullopt);
    EXPECT_EQ(control.modeKey(-1), std::nullopt);
    EXPECT_EQ(keys.reads, 0);
    EXPECT_EQ(failure([&] { control.setManual(10, true); }), kNoModeKey);
    EXPECT_EQ(keys.reads, 0);
}

TEST(AppleSiliconFanControl, LowercaseModeKeyIsTakenAndReleasedThroughThatKey) {
    FakeFanKeys keys;
    keys.values = {{"F0md", 0}, {"Ftst", 0}};
    auto control = keys.control();
    control.setManual(0, true);
    EXPECT_EQ(keys.values["F0md"], 1);
    control.setManual(0, false);
    EXPECT_EQ(keys.values["F0md"], 0);
    EXPECT_EQ(keys.writesTo("F0Md"), 0);
    EXPECT_TRUE(control.originals().empty());
}

TEST(AppleSiliconFanControl, RefusesFansThatAreNotAutomaticWithoutWriting) {
    for (double mode : {1.0, 2.0}) {
        FakeFanKeys keys(twoFans());
        keys.values["F0Md"] = mode;
        auto control = keys.control();
        EXPECT_EQ(failure([&] { control.setManual(0, true); }), kNotAutomatic);
        EXPECT_TRUE(keys.writes.empty());
        EXPECT_TRUE(control.originals().empty());
    }
}

TEST(AppleSiliconFanControl, UnlockHeldElsewhereRefusesOnlyTheFirstTakeOver) {
    FakeFanKeys keys(twoFans());
    keys.values["Ftst"] = 1;
    auto control = keys.control();
    EXPECT_EQ(failure([&] { control.setManual(0, true); }), kTaken);
    EXPECT_TRUE(keys.writes.empty());

    // Once this controller holds a fan, the flag is its own business.
    keys.values["Ftst"] = 0;
    control.setManual(0, true);
    keys.values["Ftst"] = 1;
    control.setManual(1, true);
    EXPECT_EQ(keys.values["F1Md"], 1);
}

TEST(AppleSiliconFanControl, UnlocksAndRetriesEveryTenthOfASecondUntilAccepted) {
    FakeFanKeys keys(twoFans());
    keys.unlockDelay = 0.35;
    auto control = keys.control();
    const double start = keys.clock.now();
    control.setManual(0, true);
    EXPECT_EQ(keys.values["F0Md"], 1);
    EXPECT_EQ(keys.values["Ftst"], 1);
    EXPECT_EQ(control.unlockOriginal(), 0);
    EXPECT_EQ(control.originals().at(0), (AppleSiliconFanControl::Original{"F0Md", 0}));
    EXPECT_NEAR(keys.clock.now() - start, 0.4, 1e-9);
    for (double pause : keys.clock.pauses()) EXPECT_DOUBLE_EQ(pause, 0.1);
    EXPECT_EQ(keys.writesTo("Ftst"), 1);
}

TEST(AppleSiliconFanControl, UnlockFlagReturnsOnlyWithTheLastFan) {
    FakeFanKeys keys(twoFans());
    keys.unlockDelay = 0.2;
    keys.values["F1Md"] = 3;
    auto control = keys.control();
    control.setManual(0, true);
    control.setManual(1, true);  // already unlocked: accepted at once
    EXPECT_EQ(keys.writesTo("Ftst"), 1);

    control.setManual(0, false);
    EXPECT_EQ(keys.values["Ftst"], 1);
    EXPECT_EQ(keys.values["F0Md"], 0);
    EXPECT_EQ(control.unlockOriginal(), 0);

    control.setManual(1, false);
    EXPECT_EQ(keys.values["F1Md"], 3);  // its original automatic mode
    EXPECT_EQ(keys.values["Ftst"], 0);
    EXPECT_FALSE(control.unlockOriginal());
    EXPECT_TRUE(control.originals().empty());
}

TEST(AppleSiliconFanControl, UnlockDelayBeyondTheRetryWindowEndsAutomaticWithTheLastError) {
    FakeFanKeys keys(twoFans());
    keys.unlockDelay = 5;
    auto control = keys.control();
    const double start = keys.clock.now();
    EXPECT_EQ(failure([&] { control.setManual(0, true); }), kRefused);
    EXPECT_GE(keys.clock.now() - start, 4.0 - 1e-9);
    EXPECT_LE(keys.clock.now() - start, 4.1 + 1e-9);
    EXPECT_LE(keys.writesTo("F0Md"), 1 + 40 + 1);
    EXPECT_EQ(keys.values["F0Md"], 0);
    EXPECT_EQ(keys.values["Ftst"], 0);
    EXPECT_TRUE(control.originals().empty());
    EXPECT_FALSE(control.unlockOriginal());
}

TEST(AppleSiliconFanControl, GivesUpAtOnceWhenUnlockingIsNotPossible) {
    struct Case {
        const char* name;
        std::function<void(FakeFanKeys&)> setUp;
        std::string expected;
    };
    const Case cases[] = {
        {"unlock flag unreadable",
         [](FakeFanKeys& k) {
             k.values.erase("Ftst");
             k.refuse["F0Md"] = "模式写入被拒绝";
         },
         "模式写入被拒绝"},
        {"unlock write refused",
         [](FakeFanKeys& k) {
             k.unlockDelay = 0.1;
             k.refuse["Ftst"] = "SMC Ftst 写入失败（-3）；此机型可能不支持控制";
         },
         "SMC Ftst 写入失败（-3）；此机型可能不支持控制"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFanKeys keys(twoFans());
        c.setUp(keys);
        auto control = keys.control();
        const auto message = failure([&] { control.setManual(0, true); });
        EXPECT_EQ(message.substr(0, c.expected.size()), c.expected);
        EXPECT_TRUE(keys.clock.pauses().empty());
        EXPECT_EQ(keys.values.count("F0Md") ? keys.values["F0Md"] : 0, 0);
    }
}

TEST(AppleSiliconFanControl, ForeignUnlockAfterAFailedModeWriteIsNotTouched) {
    FakeFanKeys keys(twoFans());
    auto control = keys.control();
    control.setManual(0, true);  // accepted without unlocking
    keys.refuse["F1Md"] = "模式写入被拒绝";
    keys.values["Ftst"] = 1;  // set by someone else meanwhile
    // The fan never left automatic, so the restore is confirmed and only the cause remains.
    EXPECT_EQ(failure([&] { control.setManual(1, true); }), "模式写入被拒绝");
    EXPECT_EQ(keys.writesTo("Ftst"), 0);
    EXPECT_FALSE(control.originals().count(1));
}

TEST(AppleSiliconFanControl, FailedTakeOverAndFailedRestoreReportBothCauses) {
    const std::string ftstRefused = "SMC Ftst 写入失败（-3）；此机型可能不支持控制";
    struct Case {
        const char* name;
        std::function<void(FakeFanKeys&)> afterUnlock;
        std::string second;
    };
    const Case cases[] = {
        {"flag write refused", [&](FakeFanKeys& k) { k.refuse["Ftst"] = ftstRefused; },
         ftstRefused},
        {"flag stays set", [](FakeFanKeys& k) { k.sticky.insert("Ftst"); }, kUnconfirmed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFanKeys keys(twoFans());
        keys.unlockDelay = 100;
        keys.clock.onPause([&](double) { c.afterUnlock(keys); });
        auto control = keys.control();
        EXPECT_EQ(failure([&] { control.setManual(0, true); }),
                  kRefused + "；恢复自动风扇失败：" + c.second);
        EXPECT_TRUE(control.originals().count(0));  // kept for a later retry
        EXPECT_EQ(keys.values["F0Md"], 0);
    }
}

TEST(AppleSiliconFanControl, ReleaseThatCannotBeConfirmedKeepsTheFanHeld) {
    FakeFanKeys keys(twoFans());
    auto control = keys.control();
    control.setManual(0, true);
    keys.sticky.insert("F0Md");
    EXPECT_EQ(failure([&] { control.setManual(0, false); }), kUnconfirmed);
    EXPECT_TRUE(control.originals().count(0));

    keys.refuse["F0Md"] = "SMC F0Md 回读不一致";
    EXPECT_EQ(failure([&] { control.setManual(0, false); }), "SMC F0Md 回读不一致");

    // The fan went back to automatic by itself: the retry is confirmed and the error dropped.
    keys.values["F0Md"] = 0;
    EXPECT_NO_THROW(control.setManual(0, false));
    EXPECT_TRUE(control.originals().empty());
}

TEST(AppleSiliconFanControl, ReleasingAnUnheldFanWritesAutomatic) {
    FakeFanKeys keys(twoFans());
    keys.values["F0Md"] = 1;
    auto control = keys.control();
    control.setManual(0, false);
    EXPECT_EQ(keys.values["F0Md"], 0);
    EXPECT_EQ(keys.writesTo("Ftst"), 0);
}
