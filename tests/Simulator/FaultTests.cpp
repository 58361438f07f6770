// Fault injection and machine events of the virtual device.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "SimulatorFixture.hpp"
#include "support/CaseNames.hpp"

namespace pyrelle::sim::testing {
namespace {

void takeFan(SimulatedMac& mac, const std::string& n) {
    ASSERT_EQ(mac.probe.write("Ftst", 1), 0);
    mac.advance(1);
    ASSERT_EQ(mac.probe.write("F" + n + "Md", 1), 0);
}

struct RefusalCase {
    const char* pattern;
    const char* hit;
    const char* miss;
};

class RefusedKeys : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedKeys, ReadsOfMatchingKeysFailOthersWork) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "refuse-read"}, {"key", GetParam().pattern}});
    EXPECT_EQ(mac.probe.read(GetParam().hit).code, 0x85);
    EXPECT_EQ(mac.probe.read(GetParam().miss).code, 0);
    mac.ok({{"op", "clear-faults"}});
    EXPECT_EQ(mac.probe.read(GetParam().hit).code, 0);
}

TEST_P(RefusedKeys, WritesOfMatchingKeysFailWithTheChosenResult) {
    SimulatedMac mac;
    takeFan(mac, "1");
    mac.ok(
        {{"op", "fault"}, {"kind", "refuse-write"}, {"key", GetParam().pattern}, {"result", 0x86}});
    EXPECT_EQ(mac.probe.write(GetParam().hit, 0), 0x86);
    EXPECT_EQ(mac.writes(GetParam().hit), 1) << "refused writes still count";
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, RefusedKeys,
    ::testing::Values(RefusalCase{"F0Tg", "F0Tg", "F1Tg"}, RefusalCase{"F0*", "F0Md", "F1Md"},
                      RefusalCase{"F*", "F1Tg", "TC0P"}),
    ::pyrelle::testing::caseNames([](const RefusalCase& c) { return std::string(c.pattern); }));

TEST(Faults, CpuPrefixMakesEveryCpuKeyUnreadable) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "refuse-read"}, {"key", "TC*"}});
    for (const char* key : {"TC0P", "TC0D", "TC1C", "TC7C"})
        EXPECT_EQ(mac.probe.read(key).code, 0x85) << key;
    EXPECT_EQ(mac.probe.read("Tp01").code, 0);
}

TEST(Faults, ReadbackOffsetShiftsWhatReadsShow) {
    SimulatedMac mac;
    takeFan(mac, "0");
    mac.ok({{"op", "fault"}, {"kind", "readback-offset"}, {"key", "F0Tg"}, {"delta", 150}});
    ASSERT_EQ(mac.probe.write("F0Tg", 3000), 0);
    EXPECT_EQ(mac.probe.value("F0Tg"), 3150);
    EXPECT_EQ(mac.state()["fans"][0]["target"], 3000)
        << "the device itself holds the written value";
}

TEST(Faults, ReadbackLagShowsTheOldValueForAWhile) {
    SimulatedMac mac;
    takeFan(mac, "0");
    mac.ok({{"op", "fault"}, {"kind", "readback-lag"}, {"seconds", 0.4}});
    ASSERT_EQ(mac.probe.write("F0Tg", 2500), 0);
    const double shown = *mac.probe.value("F0Tg");
    EXPECT_NE(shown, 2500);
    mac.advance(0.3);
    EXPECT_EQ(mac.probe.value("F0Tg"), shown);
    mac.advance(0.15);
    EXPECT_EQ(mac.probe.value("F0Tg"), 2500);
}

TEST(Faults, StealFanSwitchesItBackToAutomatic) {
    SimulatedMac mac;
    takeFan(mac, "1");
    mac.ok({{"op", "fault"}, {"kind", "steal-fan"}, {"fan", 1}});
    EXPECT_EQ(mac.probe.value("F1Md"), 3);
    EXPECT_FALSE(mac.state()["fans"][1]["manual"].get<bool>());
    EXPECT_EQ(mac.writes("F1Md"), 1) << "the steal is not one of our writes";
    EXPECT_FALSE(
        mac.control({{"op", "fault"}, {"kind", "steal-fan"}, {"fan", 2}})["ok"].get<bool>());
}

TEST(Faults, HeldUnlockFlagReadsSetAndCannotBeChanged) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "hold-ftst"}});
    EXPECT_EQ(mac.probe.value("Ftst"), 1);
    EXPECT_EQ(mac.probe.write("Ftst", 0), 0x82);
    EXPECT_EQ(mac.probe.value("Ftst"), 1);
    mac.ok({{"op", "clear-faults"}});
    EXPECT_EQ(mac.probe.value("Ftst"), 0) << "the other program lets go";
    SimulatedMac intel("intel");
    EXPECT_FALSE(intel.control({{"op", "fault"}, {"kind", "hold-ftst"}})["ok"].get<bool>());
}

TEST(Faults, BadLengthRepliesWithAShortBlockForCountedCalls) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "bad-length"}, {"count", 2}});
    for (int i = 0; i < 2; ++i) {
        const auto e = mac.probe.command(SMCCommand::readKeyInfo, FourCC("TC0P"));
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(e.reply.size(), 79u);
    }
    EXPECT_EQ(mac.probe.command(SMCCommand::readKeyInfo, FourCC("TC0P")).reply.size(), 80u);
    mac.ok({{"op", "fault"}, {"kind", "bad-length"}, {"length", 96}});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(mac.probe.command(SMCCommand::readKeyInfo, FourCC("TC0P")).reply.size(), 96u);
    EXPECT_FALSE(
        mac.control({{"op", "fault"}, {"kind", "bad-length"}, {"length", 80}})["ok"].get<bool>());
}

TEST(Faults, KernelErrorsForTheNextCalls) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "kernel-error"}, {"count", 3}});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(mac.probe.command(SMCCommand::readKeyInfo, FourCC("TC0P")).status,
                  status::kError);
    }
    EXPECT_EQ(mac.probe.read("TC0P").code, 0);
    mac.ok({{"op", "fault"}, {"kind", "kernel-error"}, {"status", -536870211}});
    EXPECT_EQ(mac.probe.read("TC0P").code, -536870211);
    EXPECT_EQ(mac.probe.read("TC0P").code, 0) << "one call by default";
    mac.ok({{"op", "fault"}, {"kind", "kernel-error"}, {"status", 0xE00002C7u}});
    EXPECT_EQ(mac.probe.read("TC0P").code, status::kUnsupported);
}

TEST(Faults, KernelErrorsLeaveControlAndPowerRequestsAlone) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "kernel-error"}, {"count", 1}});
    std::vector<uint8_t> reply;
    EXPECT_EQ(mac.device->exchange(17, {}, reply), 0);
    EXPECT_EQ(mac.probe.read("TC0P").code, status::kError);
}

TEST(Faults, DroppedConnectionAnswersNotRespondingOnce) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "drop-connection"}});
    const auto raw = SMCBlock{FourCC("TC0P"), 0, {}, 0, 0, 9}.serialize();
    const auto dropped = mac.device->handle(2, raw);
    EXPECT_TRUE(dropped.dropConnection);
    EXPECT_EQ(mac.probe.read("TC0P").code, 0);
    mac.ok({{"op", "fault"}, {"kind", "drop-connection"}});
    EXPECT_EQ(mac.probe.read("TC0P").code, status::kNotResponding);
    EXPECT_EQ(mac.probe.read("TC0P").code, 0);
}

TEST(Faults, StallSilencesUserClientCallsUntilItHasPassed) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "stall"}, {"seconds", 0.3}});
    ASSERT_EQ(mac.state()["faults"].size(), 1u) << "control requests are still answered";
    EXPECT_EQ(mac.state()["faults"][0]["kind"], "stall");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mac.probe.read("TC0P").code, 0);
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              0.25);
    EXPECT_TRUE(mac.state()["faults"].empty()) << "a stall ends by itself";
}

TEST(Faults, SleepWakeClearsTheUnlockAndFreesEveryFan) {
    SimulatedMac mac;
    takeFan(mac, "0");
    ASSERT_EQ(mac.probe.write("F1Md", 1), 0);
    mac.ok({{"op", "fault"}, {"kind", "sleep-wake"}});
    EXPECT_EQ(mac.probe.value("Ftst"), 0);
    EXPECT_EQ(mac.probe.value("F0Md"), 3);
    EXPECT_EQ(mac.probe.value("F1Md"), 3);
    EXPECT_EQ(mac.probe.write("F0Md", 1), 0x82) << "a fresh unlock is needed after wake";
    mac.ok({{"op", "sleep-wake"}});  // also offered as its own operation
}

TEST(Faults, StateDumpListsActiveFaults) {
    SimulatedMac mac;
    mac.ok({{"op", "fault"}, {"kind", "refuse-write"}, {"key", "F0Tg"}});
    mac.ok({{"op", "fault"}, {"kind", "kernel-error"}, {"count", 2}});
    const auto faults = mac.state()["faults"];
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0]["kind"], "refuse-write");
    EXPECT_EQ(faults[1]["count"], 2);
    mac.ok({{"op", "clear-faults"}});
    EXPECT_TRUE(mac.state()["faults"].empty());
}

struct BadFault {
    const char* name;
    nlohmann::json request;
};

class RejectedFaultRequests : public ::testing::TestWithParam<BadFault> {};

TEST_P(RejectedFaultRequests, AnswerAnErrorAndChangeNothing) {
    SimulatedMac mac;
    const auto reply = mac.control(GetParam().request);
    EXPECT_FALSE(reply.value("ok", true));
    EXPECT_TRUE(reply.contains("error"));
    EXPECT_TRUE(mac.state()["faults"].empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectedFaultRequests,
    ::testing::Values(
        BadFault{"NoKind", {{"op", "fault"}}},
        BadFault{"UnknownKind", {{"op", "fault"}, {"kind", "melt"}}},
        BadFault{"LongKey", {{"op", "fault"}, {"kind", "refuse-read"}, {"key", "TC0PX"}}},
        BadFault{"NoKey", {{"op", "fault"}, {"kind", "refuse-write"}}},
        BadFault{"ResultZero",
                 {{"op", "fault"}, {"kind", "refuse-write"}, {"key", "F0Tg"}, {"result", 0}}},
        BadFault{"TextDelta",
                 {{"op", "fault"}, {"kind", "readback-offset"}, {"key", "F0Tg"}, {"delta", "5"}}},
        BadFault{"NegativeLag", {{"op", "fault"}, {"kind", "readback-lag"}, {"seconds", -1}}},
        BadFault{"ZeroCount", {{"op", "fault"}, {"kind", "kernel-error"}, {"count", 0}}},
        BadFault{"ZeroStatus", {{"op", "fault"}, {"kind", "kernel-error"}, {"status", 0}}},
        BadFault{"StallWithoutSeconds", {{"op", "fault"}, {"kind", "stall"}}},
        BadFault{"StallTooLong", {{"op", "fault"}, {"kind", "stall"}, {"seconds", 61}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pyrelle::sim::testing

namespace pyrelle::sim::testing {
namespace {

// Several clients at once (the helper's sampler, its lease thread, a test's control client)
// must see a consistent device.
TEST(Concurrency, ExchangesFromManyThreadsStayConsistent) {
    SimulatedMac mac;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&mac, &failures, t] {
            DeviceProbe probe(*mac.device);
            for (int i = 0; i < 200; ++i) {
                if (t == 0) {
                    mac.device->control({{"op", "load"}, {"value", (i % 10) / 10.0}});
                } else if (probe.read(t == 1 ? "TC0P" : "F0Ac").code != 0 ||
                           !probe.keyAt(static_cast<uint32_t>(i))) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace pyrelle::sim::testing
