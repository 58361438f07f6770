// The hand-back when the device stumbles: failed fans are tried again, after a reconnection,
// within three passes and a 2-second window of a fake clock; a left-over unlock flag is
// cleared once; the final message always names the failed hand-back and its last causes.
#include <gtest/gtest.h>

#include <map>

#include "pyrelle/CoolingLease.hpp"
#include "pyrelle/ScopeError.hpp"
#include "support/FakeClock.hpp"
#include "support/FakeCoolingHardware.hpp"

namespace {

using pyrelle::HandBackRetry;
using pyrelle::ScopeError;
using pyrelle::testing::FakeClock;
using pyrelle::testing::FakeCoolingHardware;

const std::string kSilent = "SMC F1Md 读取失败（-536870163），设备没有正常响应";
const std::string kUnconfirmed = "未能确认风扇恢复系统自动";
const std::string kFtstRefused = "SMC Ftst 写入失败（132）；此机型可能不支持控制";

// Fans whose hand-back fails a set number of times (a silent device), or while an unlock flag
// that nobody of this run set is still up; each failure costs `failureSeconds` of the clock.
struct StumblingFans : FakeCoolingHardware {
    FakeClock* clock = nullptr;
    std::map<int, int> silentTimes;
    bool unlockHeld = false;
    double failureSeconds = 0;

    void setManual(int id, bool manual) override {
        if (!manual && silentTimes[id] > 0) {
            --silentTimes[id];
            clock->advance(failureSeconds);
            log.push_back("silent " + std::to_string(id));
            throw ScopeError(kSilent);
        }
        if (!manual && unlockHeld) {
            log.push_back("unconfirmed " + std::to_string(id));
            throw ScopeError(kUnconfirmed);
        }
        FakeCoolingHardware::setManual(id, manual);
    }
};

struct Case {
    const char* name;
    int silentTimes;        // consecutive failures of fan 1
    double failureSeconds;  // what each failure costs
    bool unlockHeld;        // the unlock flag keeps every fan from being confirmed
    bool unlockClears;      // clearing it works (else its write is refused)
    const char* error;      // "" for a hand-back that ends confirmed
    int reconnects;
    std::vector<std::string> writes;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class HandBackRetries : public ::testing::TestWithParam<Case> {};

TEST_P(HandBackRetries, EndConfirmedOrNameTheFailure) {
    const Case& c = GetParam();
    FakeClock clock;
    StumblingFans fans;
    fans.clock = &clock;
    fans.addFan(0, 1000, 5000).addFan(1, 1000, 5000);
    fans.fan(0).reading.manual = fans.fan(1).reading.manual = true;
    fans.silentTimes[1] = c.silentTimes;
    fans.failureSeconds = c.failureSeconds;
    fans.unlockHeld = c.unlockHeld;

    int reconnects = 0;
    HandBackRetry retry;
    retry.passes = HandBackRetry::kPasses;
    retry.window = HandBackRetry::kWindow;
    retry.pause = HandBackRetry::kPause;
    retry.now = clock.clock();
    retry.sleep = clock.pauser();
    retry.reconnect = [&] {
        ++reconnects;
        fans.log.push_back("reconnect");
    };
    if (c.unlockHeld) {
        retry.releaseUnlock = [&] {
            fans.log.push_back("release");
            if (!c.unlockClears) throw ScopeError(kFtstRefused);
            fans.unlockHeld = false;
            return true;
        };
    }

    std::string error;
    try {
        pyrelle::CoolingLease::restoreAuto(fans, {0, 1}, retry);
    } catch (const ScopeError& e) {
        error = e.what();
    }
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(reconnects, c.reconnects);
    EXPECT_EQ(fans.writes(), c.writes);
    if (error.empty()) {
        EXPECT_TRUE(fans.allAutomatic());
    }
}

const std::string kGaveUp = "恢复自动风扇失败：" + kSilent;

INSTANTIATE_TEST_SUITE_P(
    Device, HandBackRetries,
    ::testing::Values(
        Case{"OneSilentCallIsRetriedAfterAReconnection",
             1,
             0.1,
             false,
             false,
             "",
             1,
             {"auto 0", "silent 1", "reconnect", "auto 1"}},
        Case{"TwoSilentCallsTakeThreePasses",
             2,
             0.1,
             false,
             false,
             "",
             2,
             {"auto 0", "silent 1", "reconnect", "silent 1", "reconnect", "auto 1"}},
        Case{"ThreePassesAreTheBound",
             5,
             0.1,
             false,
             false,
             kGaveUp.c_str(),
             2,
             {"auto 0", "silent 1", "reconnect", "silent 1", "reconnect", "silent 1"}},
        // A device that takes 2.5 s to fail leaves time for one more pass only.
        Case{"TheWindowIsTheBound",
             5,
             2.5,
             false,
             false,
             kGaveUp.c_str(),
             1,
             {"auto 0", "silent 1", "reconnect", "silent 1"}},
        Case{"ALeftOverUnlockIsClearedAndTheFansConfirmed",
             0,
             0,
             true,
             true,
             "",
             0,
             {"unconfirmed 0", "unconfirmed 1", "release", "auto 0", "auto 1"}},
        Case{"AnUnlockThatCannotBeClearedIsNamed",
             0,
             0,
             true,
             false,
             "恢复自动风扇失败：未能确认风扇恢复系统自动；未能确认风扇恢复系统自动；SMC Ftst "
             "写入失败（132）；此机型可能不支持控制",
             2,
             {"unconfirmed 0", "unconfirmed 1", "release", "reconnect", "unconfirmed 0",
              "unconfirmed 1", "release", "reconnect", "unconfirmed 0", "unconfirmed 1",
              "release"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
