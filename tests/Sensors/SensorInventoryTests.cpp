#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "pyrelle/SensorInventory.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"

using namespace pyrelle;
using Kind = HardwareSensorKind;

namespace {

std::vector<std::string> keys(const std::vector<HardwareSensorReading>& readings) {
    std::vector<std::string> result;
    for (const auto& r : readings) result.push_back(r.key);
    return result;
}

}  // namespace

TEST(SensorInventory, FlattensDeduplicatesAndSortsNumerically) {
    Snapshot s;
    s.sensors = {{"TC10C", "核心 10", 60}, {"TC2C", "核心 2", 200}, {"TC0P", "近端", 55}};
    s.additionalSensors =
        std::vector<HardwareSensorReading>{{"TC0P", "重复", Kind::temperature, 99},
                                           {"PSTR", "整机", Kind::power, 20},
                                           {"F0Ac", "power?", Kind::power, 5}};
    s.fans = {{0, 2500.0, 1000.0, 5000.0, false, true},
              {1, 30000.0, std::nullopt, std::nullopt, std::nullopt, false}};

    const auto readings = SensorInventory::readings(s);
    EXPECT_EQ(keys(readings),
              (std::vector<std::string>{"F0Ac", "F0Ac", "F1Ac", "PSTR", "TC0P", "TC2C", "TC10C"}));
    // The sensors entry wins over the duplicate in additionalSensors.
    const auto tc0p =
        std::find_if(readings.begin(), readings.end(), [](auto& r) { return r.key == "TC0P"; });
    EXPECT_EQ(tc0p->value, 55);
    EXPECT_EQ(tc0p->label, "近端");
    // Out-of-range values are kept as readings without a value.
    const auto tc2c =
        std::find_if(readings.begin(), readings.end(), [](auto& r) { return r.key == "TC2C"; });
    EXPECT_FALSE(tc2c->value);
    // Same key, different kinds: both kept, in input order (stable).
    EXPECT_EQ(readings[0].kind, Kind::power);
    EXPECT_EQ(readings[1], HardwareSensorReading("F0Ac", "风扇 1", Kind::fan, 2500));
    EXPECT_EQ(readings[2].label, "风扇 2");
    EXPECT_FALSE(readings[2].value);
}

TEST(SensorInventoryOrder, DigitRunsCompareNumerically) {
    for (auto compare : {&SensorInventory::compareNames, &SensorInventory::compareNamesPlain}) {
        EXPECT_LT(compare("TC2C", "TC10C"), 0);
        EXPECT_GT(compare("TC10C", "TC2C"), 0);
        EXPECT_LT(compare("F9Ac", "F10Ac"), 0);
        EXPECT_LT(compare("Tp0D", "Tp09"), 0);  // the run "0" is smaller than "09"
        EXPECT_LT(compare("TC2C", "TC02D"), 0);
        EXPECT_LT(compare("TA0P", "TB0T"), 0);
        EXPECT_EQ(compare("TC0P", "TC0P"), 0);
        EXPECT_NE(compare("Tc0P", "TC0P"), 0);  // case differences still give a fixed order
        EXPECT_EQ(compare("Tc0P", "TC0P"), -compare("TC0P", "Tc0P"));
        EXPECT_LT(compare("ta0p", "TB0P"), 0);  // letter case does not decide before letters do
    }
}

TEST(SensorInventoryOrder, ReadingsAreInTheOrderOfCompareNames) {
    const std::vector<std::string> names = {"Tp0D", "TC10C", "Tc0P", "F10Ac", "TB0P", "ta0p",
                                            "TC0P", "TC02D", "Tp09", "F9Ac",  "TC2C", "tc0p",
                                            "PSTR", "TA0P",  "Tc0p", "VD0R"};
    Snapshot s;
    std::vector<HardwareSensorReading> additional;
    for (const auto& name : names) additional.emplace_back(name, name, Kind::voltage, 1);
    s.additionalSensors = additional;

    std::vector<std::string> expected = names;
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
        return SensorInventory::compareNames(a, b) < 0;
    });
    EXPECT_EQ(keys(SensorInventory::readings(s)), expected);
}

TEST(SensorNamingPlatform, BrandFromCpuinfoUnderAGivenRoot) {
    const auto root =
        std::filesystem::temp_directory_path() / ("pyrelle-brand-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "proc");
    auto writeCpuinfo = [&](const std::string& text) {
        std::ofstream(root / "proc" / "cpuinfo") << text;
    };

    writeCpuinfo(
        "processor\t: 0\nvendor_id\t: Virtual\nmodel name\t: Apple M4 Pro\nflags\t: "
        "fpu\n\nprocessor\t: 1\n");
    EXPECT_EQ(cpuBrandText(root.string()), "Apple M4 Pro");
    EXPECT_EQ(sensorNamingPlatformOf(root.string()), SensorNamingPlatform::appleM4ProMax);

    writeCpuinfo("processor : 0\nModel : Apple M4\n");
    EXPECT_EQ(sensorNamingPlatformOf(root.string()), SensorNamingPlatform::appleM4);

    writeCpuinfo("model name\t: " + std::string(300, 'x') + "\n");
    EXPECT_FALSE(cpuBrandText(root.string()));

    std::filesystem::remove_all(root);
    EXPECT_FALSE(cpuBrandText(root.string()));
    EXPECT_EQ(sensorNamingPlatformOf(root.string()), SensorNamingPlatform::generic);
}
