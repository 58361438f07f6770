// The typed SMC against the virtual SMC device installed in-process. The device and the SMC
// share one fake clock, so unlock delays and read-back deadlines pass without sleeping.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "CSMCDevice.hpp"
#include "pyrelle/SMC.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"
#include "pyrelle/sim/Profile.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"
#include "support/FakeClock.hpp"

using namespace pyrelle;
using nlohmann::json;

namespace {

class VirtualMac : public ::testing::Test {
protected:
    void TearDown() override { csmc::installDevice(nullptr); }

    // Installs a fresh device of `profile` and opens an SMC on it.
    SMC& open(const std::string& profile) {
        auto found = sim::Profile::named(profile);
        EXPECT_TRUE(found) << profile;
        device = std::make_shared<sim::VirtualSMC>(*found, clock.clock());
        csmc::installDevice(device);
        smc = std::make_unique<SMC>(SMC::Timing{clock.clock(), clock.pauser()});
        EXPECT_TRUE(smc->available());
        return *smc;
    }

    json control(const json& request) {
        auto reply = device->control(request);
        EXPECT_TRUE(reply.value("ok", false)) << request.dump() << " → " << reply.dump();
        return reply;
    }
    json state() { return control({{"op", "state"}}); }
    json fanState(int n) { return state()["fans"][n]; }
    int writes(const std::string& key) { return state()["writes"].value(key, 0); }

    static std::string failure(const std::function<void()>& action) {
        try {
            action();
        } catch (const ScopeError& error) {
            return error.what();
        }
        return "(no failure)";
    }

    pyrelle::testing::FakeClock clock{100};
    std::shared_ptr<sim::VirtualSMC> device;
    std::unique_ptr<SMC> smc;
};

}  // namespace

TEST_F(VirtualMac, AppleSiliconFansAreReadWithRangesAndModes) {
    auto& smc = open("apple-m4-pro");
    const auto fans = smc.fans();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[0].id, 0);
    EXPECT_EQ(fans[0].minimum, 1200);
    EXPECT_EQ(fans[0].maximum, 5779);
    EXPECT_EQ(fans[1].maximum, 6241);
    EXPECT_TRUE(fans[0].rpm);
    EXPECT_EQ(fans[0].manual, false);
    EXPECT_TRUE(fans[0].controllable);
    EXPECT_TRUE(smc.target(0));
    EXPECT_FALSE(smc.target(2));
}

TEST_F(VirtualMac, TakeOverUnlocksRetriesAndHandsBackWithTheLastFan) {
    auto& smc = open("apple-m4-pro");
    smc.setManual(0, true);  // refused until "Ftst" has been 1 for the device's unlock delay
    EXPECT_EQ(fanState(0)["mode"], 1);
    EXPECT_EQ(state()["ftst"], 1);
    EXPECT_GE(state()["refusedWrites"].value("F0Md", 0), 1);
    EXPECT_EQ(smc.fans()[0].manual, true);          // a mode of 1 is manual whatever the flag
    EXPECT_EQ(smc.fans()[1].manual, std::nullopt);  // automatic while unlocked is ambiguous

    smc.setTarget(0, 3000);
    EXPECT_EQ(fanState(0)["target"], 3000);
    smc.setManual(1, true);
    EXPECT_EQ(writes("Ftst"), 1);

    smc.setManual(0, false);
    EXPECT_EQ(state()["ftst"], 1);
    EXPECT_EQ(fanState(0)["mode"], 3);
    smc.setManual(1, false);
    EXPECT_EQ(state()["ftst"], 0);
    EXPECT_EQ(fanState(1)["mode"], 3);
    EXPECT_EQ(writes("Ftst"), 2);
    EXPECT_EQ(smc.fans()[0].manual, false);
}

TEST_F(VirtualMac, UnlockDelayBeyondFourSecondsEndsWithTheFanAutomatic) {
    auto& smc = open("apple-m4-pro");
    control({{"op", "unlock-delay"}, {"seconds", 5}});
    const auto message = failure([&] { smc.setManual(0, true); });
    EXPECT_TRUE(message.starts_with("SMC F0Md 写入失败（")) << message;
    EXPECT_TRUE(message.ends_with("）；此机型可能不支持控制")) << message;
    EXPECT_EQ(message.find("恢复自动风扇失败"), std::string::npos);
    EXPECT_EQ(fanState(0)["mode"], 3);
    EXPECT_EQ(state()["ftst"], 0);
}

TEST_F(VirtualMac, UnlockHeldByAnotherProgramRefusesTheFirstTakeOver) {
    auto& smc = open("apple-m4-pro");
    control({{"op", "fault"}, {"kind", "hold-ftst"}});
    EXPECT_EQ(failure([&] { smc.setManual(0, true); }), "风扇控制交接已被占用，请先恢复系统自动");
    EXPECT_EQ(writes("F0Md"), 0);
    EXPECT_EQ(writes("Ftst"), 0);
}

TEST_F(VirtualMac, LowercaseModeKeyProfileIsControlledThroughIt) {
    auto& smc = open("apple-lowercase");
    ASSERT_EQ(smc.fans().size(), 1u);
    EXPECT_EQ(smc.fans()[0].manual, false);
    smc.setManual(0, true);
    EXPECT_GE(writes("F0md"), 1);
    EXPECT_EQ(fanState(0)["mode"], 1);
    smc.setManual(0, false);
    EXPECT_EQ(fanState(0)["mode"], 0);
}

TEST_F(VirtualMac, IntelFansAreReadThroughTheForcedMask) {
    auto& smc = open("intel");
    auto fans = smc.fans();
    ASSERT_EQ(fans.size(), 2u);
    EXPECT_EQ(fans[0].manual, false);
    EXPECT_EQ(fans[1].minimum, 1300);
    EXPECT_TRUE(fans[1].controllable);
    control({{"op", "set"}, {"key", "FS! "}, {"value", 2}});
    fans = smc.fans();
    EXPECT_EQ(fans[0].manual, false);
    EXPECT_EQ(fans[1].manual, true);
    EXPECT_EQ(failure([&] { smc.setManual(0, true); }),
              "此风扇没有可识别的 Apple Silicon 模式接口");
}

TEST_F(VirtualMac, FanCountOutsideItsRangeGivesNoFans) {
    EXPECT_TRUE(open("apple-fanless").fans().empty());
    auto& smc = open("intel");
    control({{"op", "set"}, {"key", "FNum"}, {"value", 11}});
    EXPECT_TRUE(smc.fans().empty());
}

TEST_F(VirtualMac, ReadBackMismatchFailsTheWriteAfterTwoSeconds) {
    auto& smc = open("apple-m4-pro");
    smc.setManual(0, true);
    control({{"op", "fault"}, {"kind", "readback-offset"}, {"key", "F0Tg"}, {"delta", 50}});
    const double start = clock.now();
    EXPECT_EQ(failure([&] { smc.setTarget(0, 3000); }),
              "SMC F0Tg 回读不一致，操作未确认（目标 3000.00，读回 3050.00；已等待最多 2 秒）");
    EXPECT_NEAR(clock.now() - start, 2.0, 0.051);

    control({{"op", "fault"}, {"kind", "refuse-read"}, {"key", "F0Tg"}});
    EXPECT_TRUE(failure([&] { smc.write("F0Tg", 2000); }).starts_with("SMC F0Tg 读取失败（"));
    control({{"op", "clear-faults"}});
    smc.setManual(0, false);
}

TEST_F(VirtualMac, ReadBackThatBecomesUnreadableSaysSo) {
    auto& smc = open("apple-m4-pro");
    smc.setManual(0, true);
    // The first read-back succeeds; from the first pause on, the key cannot be read.
    clock.onPause([&](double) {
        device->control({{"op", "fault"}, {"kind", "refuse-read"}, {"key", "F0Tg"}});
    });
    EXPECT_EQ(failure([&] { smc.setTarget(0, 2500); }),
              "SMC F0Tg 回读不一致，操作未确认（目标 2500.00，读回 无法读取；已等待最多 2 秒）");
    clock.onPause(nullptr);
    control({{"op", "clear-faults"}});
    smc.setManual(0, false);
    EXPECT_EQ(fanState(0)["mode"], 3);
}

TEST_F(VirtualMac, WritesTheCodecCannotHoldAreRefusedBeforeWriting) {
    auto& smc = open("apple-m4-pro");
    EXPECT_EQ(failure([&] { smc.write("F0Tg", 20001); }), "SMC F0Tg 不支持写入这个数值");
    EXPECT_EQ(writes("F0Tg"), 0);
    EXPECT_EQ(failure([&] { smc.raw("F0T"); }), "SMC F0T 读取失败（-1）");
    EXPECT_EQ(failure([&] { smc.setManual(10, true); }), "无效风扇编号");
    EXPECT_EQ(failure([&] { smc.setManual(-1, false); }), "无效风扇编号");
}

TEST_F(VirtualMac, WriteRefusedByTheControllerNamesTheCode) {
    auto& smc = open("apple-m4-pro");
    const auto message = failure([&] { smc.write("TC0P", 40); });
    EXPECT_EQ(message, "SMC TC0P 写入失败（-3）；此机型可能不支持控制");
}

TEST_F(VirtualMac, SensorKeysAreValidSortedAndTyped) {
    for (const char* profile : {"apple-m4-pro", "intel"}) {
        SCOPED_TRACE(profile);
        auto& smc = open(profile);
        const auto keys = smc.sensorKeys();
        ASSERT_GT(keys.size(), 20u);
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end(),
                                   [](auto& a, auto& b) { return a.key < b.key; }));
        std::set<std::string> names;
        for (const auto& k : keys) {
            names.insert(k.key);
            EXPECT_NE(std::string("TPVI").find(k.key[0]), std::string::npos) << k.key;
            const auto value = smc.number(k.key);
            EXPECT_TRUE(valid(k.kind, value)) << k.key;
        }
        for (const char* skipped : {"TCDX", "TPDX", "PHDX", "TMLB", "TDBP", "Ts2S", "F0Ac", "FNum"})
            EXPECT_FALSE(names.count(skipped)) << skipped;
        const auto temperatures = smc.temperatureKeys();
        for (const auto& t : temperatures) EXPECT_EQ(t[0], 'T');
        EXPECT_TRUE(std::count_if(keys.begin(), keys.end(), [](auto& k) {
                        return k.kind != HardwareSensorKind::temperature;
                    }) == static_cast<long>(keys.size() - temperatures.size()));
    }
    auto& smc = open("apple-m4-pro");
    const auto keys = smc.sensorKeys();
    auto kindOf = [&](const std::string& key) -> std::optional<HardwareSensorKind> {
        for (auto& k : keys)
            if (k.key == key) return k.kind;
        return std::nullopt;
    };
    EXPECT_EQ(kindOf("PSTR"), HardwareSensorKind::power);
    EXPECT_EQ(kindOf("VD0R"), HardwareSensorKind::voltage);
    EXPECT_EQ(kindOf("ID0R"), HardwareSensorKind::current);
    EXPECT_EQ(kindOf("Tp01"), HardwareSensorKind::temperature);
    EXPECT_FALSE(kindOf("TC0D"));  // readable by name only, never enumerated
}

TEST_F(VirtualMac, BatchedNumbersMatchSingleReads) {
    for (const char* profile : {"apple-m4-pro", "apple-lowercase", "intel"}) {
        SCOPED_TRACE(profile);
        auto& smc = open(profile);
        std::vector<std::string> keys = {"NONE", "TC0D", "F0md", "F0Md", "FS! ", "#KEY", "Tx"};
        for (const auto& sensor : smc.sensorKeys()) keys.push_back(sensor.key);
        const auto batched = smc.numbers(keys);
        ASSERT_EQ(batched.size(), keys.size());
        for (size_t i = 0; i < keys.size(); ++i)
            EXPECT_EQ(batched[i], smc.number(keys[i])) << keys[i];
    }
}

TEST_F(VirtualMac, ReopenKeepsTheHandOverState) {
    auto& smc = open("apple-m4-pro");
    smc.setManual(0, true);
    smc.reopen();
    EXPECT_TRUE(smc.available());
    smc.setManual(0, false);
    EXPECT_EQ(state()["ftst"], 0);
}

TEST_F(VirtualMac, PlatformBrandComesFromTheVirtualMac) {
    open("apple-m4-pro");
    EXPECT_EQ(cpuBrandText("/nonexistent"), "Apple M4 Pro");
    EXPECT_EQ(sensorNamingPlatformOf("/nonexistent"), SensorNamingPlatform::appleM4ProMax);
}

TEST_F(VirtualMac, WithoutADeviceEverythingReportsAbsence) {
    csmc::installDevice(nullptr);
    ::unsetenv("PYRELLE_SMC_SOCKET");
    SMC smc(SMC::Timing{clock.clock(), clock.pauser()});
    EXPECT_FALSE(smc.available());
    EXPECT_TRUE(smc.fans().empty());
    EXPECT_TRUE(smc.sensorKeys().empty());
    EXPECT_FALSE(smc.number("FNum"));
    EXPECT_TRUE(failure([&] { smc.raw("FNum"); }).starts_with("SMC FNum 读取失败（"));
}

namespace {

struct HandBackCause {
    const char* name;
    json fault;
    const char* says;  // the cause the failure names
};

class FailedHandBack : public VirtualMac, public ::testing::WithParamInterface<HandBackCause> {};

// A fan that cannot be handed back says why: a device that did not answer is not a fan
// without a mode interface, and not a model that refuses control.
TEST_P(FailedHandBack, NamesItsRealCause) {
    auto& smc = open("apple-m4-pro");
    smc.setManual(0, true);
    control(GetParam().fault);
    const std::string message = failure([&] { smc.setManual(0, false); });
    EXPECT_NE(message.find(GetParam().says), std::string::npos) << message;
    EXPECT_EQ(message.find("模式接口"), std::string::npos) << message;
    control({{"op", "clear-faults"}});
    smc.setManual(0, false);
    EXPECT_EQ(fanState(0)["manual"], false);
}

INSTANTIATE_TEST_SUITE_P(
    Device, FailedHandBack,
    ::testing::Values(
        HandBackCause{"DeviceSilent",
                      {{"op", "fault"}, {"kind", "kernel-error"}, {"count", 100}},
                      "设备没有正常响应"},
        HandBackCause{"WriteRefused",
                      {{"op", "fault"}, {"kind", "refuse-write"}, {"key", "F0Md"}},
                      "写入失败（"},
        HandBackCause{"ReadBackWrong",
                      {{"op", "fault"}, {"kind", "readback-offset"}, {"key", "F0Md"}, {"delta", 5}},
                      "回读不一致"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Held key info changes what is asked, never what is read: the sensor keys of the M4 Pro
// read with the info discovery learned give the full reads' values for half the exchanges, and
// a held info the device refutes is replaced by what a full read reports.
TEST_F(VirtualMac, HeldKeyInfoReadsTheSameValuesWithHalfTheExchanges) {
    auto& smc = open("apple-m4-pro");
    SMC::KeyInfos infos;
    std::vector<std::string> keys;
    for (const auto& sensor : smc.sensorKeys(&infos)) keys.push_back(sensor.key);
    ASSERT_GT(keys.size(), 200u);
    ASSERT_GE(infos.size(), keys.size());
    // The device's clock stands still between the passes, and so do its readings.

    csmc::resetExchangeCount();
    const auto full = smc.numbers(keys);
    const uint64_t fullExchanges = csmc::exchangeCount();
    csmc::resetExchangeCount();
    const auto known = smc.numbers(keys, infos);
    EXPECT_EQ(known, full);
    EXPECT_EQ(fullExchanges, 2 * keys.size());
    EXPECT_EQ(csmc::exchangeCount(), keys.size());

    const SMC::KeyInfo first = infos[keys[0]], second = infos[keys[1]];
    infos[keys[0]].size = first.size == 4 ? 2 : 4;  // stale: the device answers a size mismatch
    infos[keys[1]].type = PYR_TYPE_UI8;             // stale: the device names another type
    EXPECT_EQ(smc.numbers(keys, infos), full);
    EXPECT_EQ(infos[keys[0]].size, first.size);
    EXPECT_EQ(infos[keys[1]].type, second.type);
}

}  // namespace
