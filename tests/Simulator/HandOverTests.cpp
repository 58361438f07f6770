// The Apple Silicon hand-over rules and fan-write semantics of the virtual device.

#include <gtest/gtest.h>

#include "SimulatorFixture.hpp"

namespace pyrelle::sim::testing {
namespace {

TEST(HandOver, ModeWriteRefusedWhileUnlockFlagIsClear) {
    SimulatedMac mac;
    EXPECT_EQ(mac.probe.value("F0Md"), 3);
    EXPECT_EQ(mac.probe.value("Ftst"), 0);
    EXPECT_EQ(mac.probe.write("F0Md", 1), 0x82);
    EXPECT_EQ(mac.probe.value("F0Md"), 3);
    EXPECT_FALSE(mac.state()["fans"][0]["manual"].get<bool>());
}

TEST(HandOver, ModeWriteAcceptedOnlyAfterTheUnlockDelay) {
    SimulatedMac mac;
    mac.ok({{"op", "unlock-delay"}, {"seconds", 0.5}});
    ASSERT_EQ(mac.probe.write("Ftst", 1), 0);
    EXPECT_EQ(mac.probe.write("F0Md", 1), 0x82) << "the controller has not noticed the flag yet";
    mac.advance(0.3);
    EXPECT_EQ(mac.probe.write("F0Md", 1), 0x82);
    mac.advance(0.25);
    EXPECT_EQ(mac.probe.write("F0Md", 1), 0);
    EXPECT_EQ(mac.probe.value("F0Md"), 1);
    EXPECT_TRUE(mac.state()["fans"][0]["manual"].get<bool>());
    EXPECT_EQ(mac.writes("F0Md"), 3);
    EXPECT_EQ(mac.state()["refusedWrites"].value("F0Md", 0), 2);
}

TEST(HandOver, DefaultDelayIsShortButReal) {
    SimulatedMac mac;
    ASSERT_EQ(mac.probe.write("Ftst", 1), 0);
    EXPECT_EQ(mac.probe.write("F1Md", 1), 0x82);
    mac.advance(VirtualSMC::kDefaultUnlockDelay);
    EXPECT_EQ(mac.probe.write("F1Md", 1), 0);
}

TEST(HandOver, WritingAutomaticValuesBackIsAlwaysAccepted) {
    for (const double automatic : {0.0, 3.0}) {
        SimulatedMac mac;
        ASSERT_EQ(mac.probe.write("Ftst", 1), 0);
        mac.advance(1);
        ASSERT_EQ(mac.probe.write("F0Md", 1), 0);
        EXPECT_EQ(mac.probe.write("F0Md", automatic), 0);
        EXPECT_EQ(mac.probe.value("F0Md"), automatic);
        EXPECT_FALSE(mac.state()["fans"][0]["manual"].get<bool>());
        EXPECT_EQ(mac.probe.write("Ftst", 0), 0);
        EXPECT_EQ(mac.probe.write("F0Md", automatic), 0) << "no unlock needed to stay automatic";
    }
}

TEST(HandOver, UnknownModeAndUnlockValuesAreRejected) {
    SimulatedMac mac;
    EXPECT_EQ(mac.probe.write("F0Md", 2), 0x89);
    EXPECT_EQ(mac.probe.write("Ftst", 2), 0x89);
    EXPECT_EQ(mac.probe.value("Ftst"), 0);
}

TEST(HandOver, TargetWritesOnAnAutomaticFanAreAcceptedButIgnored) {
    SimulatedMac mac;
    const double before = *mac.probe.value("F0Tg");
    EXPECT_EQ(mac.probe.write("F0Tg", 5000), 0);
    mac.advance(0.5);
    EXPECT_NEAR(*mac.probe.value("F0Tg"), before, 1.0) << "the system's controller owns the target";
    EXPECT_EQ(mac.writes("F0Tg"), 1);
}

TEST(HandOver, TargetWritesDriveAManualFan) {
    SimulatedMac mac;
    ASSERT_EQ(mac.probe.write("Ftst", 1), 0);
    mac.advance(1);
    ASSERT_EQ(mac.probe.write("F0Md", 1), 0);
    ASSERT_EQ(mac.probe.write("F0Tg", 4200), 0);
    EXPECT_EQ(mac.probe.value("F0Tg"), 4200);
    mac.advance(0.5);
    const double midway = *mac.probe.value("F0Ac");
    EXPECT_GT(midway, 1200);
    EXPECT_LT(midway, 4200) << "fans follow their target with a lag";
    mac.advance(15);
    EXPECT_NEAR(*mac.probe.value("F0Ac"), 4200, 1);
    // Fan 1 stayed automatic.
    EXPECT_EQ(mac.probe.value("F1Md"), 3);
}

TEST(HandOver, HandingBackReturnsTheTargetToTheController) {
    SimulatedMac mac;
    ASSERT_EQ(mac.probe.write("Ftst", 1), 0);
    mac.advance(1);
    ASSERT_EQ(mac.probe.write("F0Md", 1), 0);
    ASSERT_EQ(mac.probe.write("F0Tg", 5700), 0);
    mac.advance(10);
    ASSERT_EQ(mac.probe.write("F0Md", 3), 0);
    mac.advance(10);
    EXPECT_NEAR(*mac.probe.value("F0Tg"), 1200, 1)
        << "an idle machine's controller runs at the minimum";
}

TEST(HandOver, LowercaseProfileOnlyKnowsTheLowercaseModeKey) {
    SimulatedMac mac("apple-lowercase");
    EXPECT_EQ(mac.probe.read("F0Md").code, 0x84);
    EXPECT_EQ(mac.probe.value("F0md"), 0) << "this machine's automatic mode reads 0";
    EXPECT_EQ(mac.probe.write("F0md", 1), 0x82);
    ASSERT_EQ(mac.probe.write("Ftst", 1), 0);
    mac.advance(1);
    EXPECT_EQ(mac.probe.write("F0md", 1), 0);
    EXPECT_EQ(mac.probe.value("F0md"), 1);
}

TEST(HandOver, IntelFansAreForcedThroughTheMask) {
    SimulatedMac mac("intel");
    EXPECT_EQ(mac.probe.read("F0Md").code, 0x84);
    EXPECT_EQ(mac.probe.read("Ftst").code, 0x84);
    EXPECT_EQ(mac.probe.read("F0Ac").type, FourCC("fpe2"));
    EXPECT_EQ(mac.probe.value("FS! "), 0);
    EXPECT_EQ(mac.probe.write("F1Tg", 3000), 0);
    mac.advance(1);
    EXPECT_NE(mac.probe.value("F1Tg"), 3000) << "automatic fan";
    ASSERT_EQ(mac.probe.write("FS! ", 2), 0);
    ASSERT_EQ(mac.probe.write("F1Tg", 3000), 0);
    EXPECT_EQ(mac.probe.value("F1Tg"), 3000);
    EXPECT_EQ(mac.state()["fans"][1]["mode"], 1);
    EXPECT_EQ(mac.state()["fans"][0]["mode"], 0);
}

TEST(HandOver, ReadOnlyFanKeysRefuseWrites) {
    SimulatedMac mac;
    for (const char* key : {"F0Mn", "F0Mx", "F0Ac", "FNum", "TC0P"}) {
        EXPECT_EQ(mac.probe.write(key, 100), 0x86) << key;
    }
}

}  // namespace
}  // namespace pyrelle::sim::testing
