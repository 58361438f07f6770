// Every profile is a realistic key table: hundreds of keys, sensors of every kind named as the
// machines name them, hidden keys reachable only by name, and undecodable 8-byte values.

#include <gtest/gtest.h>

#include <set>

#include "SimulatorFixture.hpp"

namespace pyrelle::sim::testing {
namespace {

std::vector<std::string> enumerate(SimulatedMac& mac) {
    std::vector<std::string> keys;
    const auto count = static_cast<uint32_t>(*mac.probe.value("#KEY"));
    for (uint32_t i = 0; i < count; ++i) keys.push_back(mac.probe.keyAt(i).value_or("????"));
    return keys;
}

class EveryProfile : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryProfile, EnumeratesHundredsOfDistinctKeysInOrder) {
    SimulatedMac mac(GetParam());
    const auto keys = enumerate(mac);
    EXPECT_GE(keys.size(), 600u);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
    EXPECT_FALSE(mac.probe.keyAt(static_cast<uint32_t>(keys.size())));
    // Sensors of every kind, and many keys that are none.
    std::map<char, int> leads;
    for (const auto& key : keys) ++leads[key[0]];
    for (const char kind : {'T', 'P', 'V', 'I'}) EXPECT_GT(leads[kind], 3) << kind;
    EXPECT_GT(keys.size() - leads['T'] - leads['P'] - leads['V'] - leads['I'], keys.size() / 2);
}

TEST_P(EveryProfile, EveryListedKeyIsReadableWithItsReportedSize) {
    SimulatedMac mac(GetParam());
    for (const auto& key : enumerate(mac)) {
        const auto read = mac.probe.read(key);
        ASSERT_EQ(read.code, 0) << key;
        ASSERT_GE(read.size, 1u) << key;
        ASSERT_LE(read.size, 32u) << key;
    }
}

TEST_P(EveryProfile, CarriesTheClassicProcessorKeys) {
    SimulatedMac mac(GetParam());
    const auto tc0p = mac.probe.value("TC0P");
    ASSERT_TRUE(tc0p);
    EXPECT_GT(*tc0p, 20);
    EXPECT_LT(*tc0p, 60);
    EXPECT_TRUE(mac.probe.value("TG0P"));
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryProfile, ::testing::ValuesIn(Profile::names()),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, '-');
                             return name;
                         });

TEST(Profiles, AppleM4ProNamesItsSensorsAsTheM4FamilyDoes) {
    SimulatedMac mac;
    const auto keys = enumerate(mac);
    const std::set<std::string> listed(keys.begin(), keys.end());
    for (const char* key :
         {"Tp01", "Te05", "Tg1U", "Tg1k", "Tm0p", "PSTR", "PDTR", "VD0R", "ID0R", "TC0P", "TG0D"}) {
        EXPECT_TRUE(listed.count(key)) << key;
    }
    // Reachable by name only: the sampler must probe for them.
    for (const char* key : {"TC0D", "TG0P", "TC4C", "TC7C"}) {
        EXPECT_FALSE(listed.count(key)) << key;
        EXPECT_TRUE(mac.probe.value(key)) << key;
    }
    EXPECT_EQ(mac.probe.read("TC0E").value, 0.0) << "present but implausible";
    EXPECT_EQ(mac.probe.read("TC9C").code, 0x84);
    EXPECT_EQ(mac.probe.read("F0Ac").type, FourCC("flt "));
    EXPECT_EQ(mac.probe.read("F0Md").type, FourCC("ui8 "));
    EXPECT_EQ(mac.probe.value("FNum"), 2);
    const auto ioft = mac.probe.read("TCDX");
    EXPECT_EQ(ioft.type, FourCC("ioft"));
    EXPECT_EQ(ioft.size, 8u);
    const auto temperatures = mac.state()["temperatures"];
    EXPECT_TRUE(temperatures.contains("TCDX")) << "the device knows its 8-byte temperatures";
    EXPECT_TRUE(temperatures.contains("TC0D"));
    EXPECT_FALSE(temperatures.contains("TMLB")) << "a counter, not a temperature";
    EXPECT_NEAR(*mac.probe.value("ID0R") * *mac.probe.value("VD0R"), *mac.probe.value("PDTR"), 0.5);
}

TEST(Profiles, IntelUsesClassicEncodings) {
    SimulatedMac mac("intel");
    EXPECT_EQ(mac.probe.read("TC0P").type, FourCC("sp78"));
    EXPECT_EQ(mac.probe.read("F0Mx").type, FourCC("fpe2"));
    EXPECT_EQ(mac.probe.value("F0Mx"), 5500);
    EXPECT_EQ(mac.probe.read("FS! ").type, FourCC("ui16"));
}

TEST(Profiles, PaddedProfilesReachTheRequestedKeyCount) {
    const auto byName = Profile::named("apple-m4-pro-2000");
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->listedCount(), 2000u);
    EXPECT_EQ(byName->brand, "Apple M4 Pro");
    const auto byCount = Profile::named("intel", 1500);
    ASSERT_TRUE(byCount);
    EXPECT_EQ(byCount->listedCount(), 1500u);
    std::set<uint32_t> distinct;
    for (const auto& spec : byName->keys) distinct.insert(spec.key.value);
    EXPECT_EQ(distinct.size(), byName->keys.size());
}

TEST(Profiles, UnknownNamesAreRejected) {
    for (const char* name : {"", "apple", "apple-m4-pro-", "apple-m4-pro-x", "apple-m4-pro-0",
                             "apple-m4-pro-99999999"}) {
        EXPECT_FALSE(Profile::named(name)) << name;
    }
}

}  // namespace
}  // namespace pyrelle::sim::testing
