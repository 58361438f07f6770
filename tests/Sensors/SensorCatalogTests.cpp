#include <gtest/gtest.h>

#include <limits>

#include "pyrelle/HardwareSensorKind.hpp"
#include "pyrelle/SensorCatalog.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"

using namespace pyrelle;
using Kind = HardwareSensorKind;
using Platform = SensorNamingPlatform;

namespace {

constexpr uint32_t fourCC(const char (&t)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(t[0])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(t[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(t[2])) << 8 | static_cast<uint8_t>(t[3]);
}

HardwareSensorReading temp(const char* key, std::optional<double> value) {
    return {key, key, Kind::temperature, value};
}

}  // namespace

TEST(HardwareSensorKind, KindFromKeyTypeAndSize) {
    struct Case {
        const char* key;
        uint32_t type, size;
        std::optional<Kind> kind;
    };
    const Case cases[] = {
        {"TC0P", fourCC("sp78"), 2, Kind::temperature}, {"TC0P", fourCC("ui16"), 2, std::nullopt},
        {"TC0P", fourCC("sp78"), 4, std::nullopt},      {"PSTR", fourCC("flt "), 4, Kind::power},
        {"PSTR", fourCC("flt "), 2, std::nullopt},      {"VD0R", fourCC("fpe2"), 2, Kind::voltage},
        {"ID0R", fourCC("flt "), 4, Kind::current},     {"F0Ac", fourCC("flt "), 4, std::nullopt},
        {"F0Ac", fourCC("fpe2"), 2, std::nullopt},      {"tc0p", fourCC("sp78"), 2, std::nullopt},
        {"TC0P", fourCC("ioft"), 8, std::nullopt},      {"", fourCC("flt "), 4, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(smcKind(c.key, c.type, c.size), c.kind) << c.key << " " << c.size;
}

TEST(HardwareSensorKind, ValidityRangesRejectNonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Kind kind;
        double value;
        bool valid;
    };
    const Case cases[] = {
        {Kind::fan, 0, true},
        {Kind::fan, 20000, true},
        {Kind::fan, 20000.5, false},
        {Kind::fan, -1, false},
        {Kind::temperature, 0, false},
        {Kind::temperature, 129.9, true},
        {Kind::temperature, 130, false},
        {Kind::power, -20, true},
        {Kind::power, -10001, false},
        {Kind::voltage, -1, false},
        {Kind::voltage, 1000, true},
        {Kind::current, -1000, true},
        {Kind::current, inf, false},
        {Kind::temperature, std::numeric_limits<double>::quiet_NaN(), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(valid(c.kind, c.value).has_value(), c.valid) << toText(c.kind) << " " << c.value;
    EXPECT_FALSE(valid(Kind::fan, std::nullopt));
    EXPECT_EQ(HardwareSensorReading("F0Ac", "风扇 1", Kind::fan, 1234).id(), "fan:F0Ac");
    EXPECT_FALSE(HardwareSensorReading("TC0P", "", Kind::temperature, 200).value);
    EXPECT_EQ(unit(Kind::temperature), "°C");
    EXPECT_EQ(title(Kind::current), "电流");
}

TEST(SensorNamingPlatform, DetectsExactTrimmedBrands) {
    EXPECT_EQ(detectSensorNamingPlatform("Apple M4"), Platform::appleM4);
    EXPECT_EQ(detectSensorNamingPlatform("  Apple M4 Pro \n"), Platform::appleM4ProMax);
    EXPECT_EQ(detectSensorNamingPlatform("\tApple M4 Max\r\n"), Platform::appleM4ProMax);
    EXPECT_EQ(detectSensorNamingPlatform("Apple M4 Ultra"), Platform::generic);
    EXPECT_EQ(detectSensorNamingPlatform("apple m4"), Platform::generic);
    EXPECT_EQ(detectSensorNamingPlatform("Apple M3 Pro"), Platform::generic);
    EXPECT_EQ(detectSensorNamingPlatform(""), Platform::generic);
}

TEST(SensorCatalogMeaning, TemperatureRulesInOrder) {
    struct Case {
        const char* key;
        Platform platform;
        std::optional<SensorComponent> component;
    };
    const Case cases[] = {
        {"TC0P", Platform::generic, SensorComponent::cpu},
        {"TG0P", Platform::generic, SensorComponent::gpu},
        {"TH0a", Platform::generic, SensorComponent::storage},
        {"TB1T", Platform::generic, SensorComponent::battery},
        {"TW0P", Platform::generic, SensorComponent::wireless},
        {"TW1P", Platform::generic, std::nullopt},
        {"Tp01", Platform::generic, std::nullopt},
        {"Tp01", Platform::appleM4, SensorComponent::cpu},
        {"Te0S", Platform::appleM4ProMax, SensorComponent::cpu},
        {"Tg0K", Platform::appleM4ProMax, SensorComponent::gpu},
        {"Tg0G", Platform::appleM4, SensorComponent::gpu},
        {"Tg0G", Platform::appleM4ProMax, std::nullopt},
        {"Tg1U", Platform::appleM4ProMax, SensorComponent::gpu},
        {"Tg1U", Platform::appleM4, std::nullopt},
        {"Tm1p", Platform::appleM4, SensorComponent::memory},
        {"Tm1p", Platform::generic, std::nullopt},
        {"Tz00", Platform::appleM4, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto found = SensorCatalog::meaning(temp(c.key, 50), c.platform);
        EXPECT_EQ(found ? std::optional(found->component) : std::nullopt, c.component)
            << c.key << " on " << toText(c.platform);
    }
    const auto cpu = SensorCatalog::meaning(temp("Tp0b", 50), Platform::appleM4);
    EXPECT_EQ(cpu->title, "处理器温度探头");
    EXPECT_EQ(cpu->explanation, "反映处理器内部或附近位置的温度。多个探头不代表多个核心。");
    EXPECT_EQ(SensorCatalog::meaning(temp("Tm0p", 50), Platform::appleM4)->explanation,
              "反映内存附近的温度，并非内存使用率。");
}

TEST(SensorCatalogMeaning, FansPowerVoltageAndCurrentByExactKey) {
    struct Case {
        const char* key;
        Kind kind;
        std::optional<SensorComponent> component;
        const char* title;
    };
    const Case cases[] = {
        {"F3Ac", Kind::fan, SensorComponent::fan, "风扇转速"},
        {"PSTR", Kind::power, SensorComponent::power, "整机功耗"},
        {"PDTR", Kind::power, SensorComponent::power, "直流输入功耗"},
        {"PCPR", Kind::power, SensorComponent::cpu, "处理器功耗"},
        {"PG1R", Kind::power, SensorComponent::gpu, "图形处理器功耗"},
        {"PMTR", Kind::power, SensorComponent::memory, "内存功耗"},
        {"PSTr", Kind::power, std::nullopt, ""},
        {"VD0R", Kind::voltage, SensorComponent::power, "直流输入电压"},
        {"VD0R", Kind::power, std::nullopt, ""},
        {"ID0R", Kind::current, SensorComponent::power, "直流输入电流"},
        {"IC0R", Kind::current, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const auto found = SensorCatalog::meaning({c.key, c.key, c.kind, 1.0}, Platform::appleM4);
        ASSERT_EQ(found.has_value(), c.component.has_value());
        if (found) {
            EXPECT_EQ(found->component, *c.component);
            EXPECT_EQ(found->title, c.title);
        }
    }
}

TEST(SensorCatalogCommon, CondensesTemperaturesFansAndWholeMachinePower) {
    const std::vector<HardwareSensorReading> readings = {
        temp("Tp01", 60),
        temp("Tp05", std::nullopt),
        {"F1Ac", "右侧风扇", Kind::fan, 2400},
        temp("Tp09", 72),
        temp("Tg0G", 50),
        temp("Tg1U", 80),  // M4 Pro/Max only: ignored on a base M4
        temp("TB0T", 31),  // battery: meaning but no common entry
        {"PCPR", "cpu", Kind::power, 9},
        {"PDTR", "dc", Kind::power, 30},
        {"PSTR", "sys", Kind::power, std::nullopt},
        temp("Tm0p", std::nullopt),
    };
    const auto common = SensorCatalog::common(readings, Platform::appleM4);
    ASSERT_EQ(common.size(), 5u);
    EXPECT_EQ(common[0], (CommonSensorReading{"cpu",
                                              "处理器温度",
                                              "反映处理器运行时的发热情况。",
                                              Kind::temperature,
                                              72,
                                              {"Tp01", "Tp05", "Tp09"}}));
    EXPECT_EQ(common[1].id, "gpu");
    EXPECT_EQ(common[1].value, 50);
    EXPECT_EQ(common[1].sources, std::vector<std::string>{"Tg0G"});
    EXPECT_EQ(common[2].id, "memory");
    EXPECT_FALSE(common[2].value);
    EXPECT_EQ(common[2].title, "内存附近温度");
    EXPECT_EQ(common[3], (CommonSensorReading{"fan:F1Ac",
                                              "右侧风扇",
                                              "风扇每分钟实际转动的次数，转速越高通常噪声也越大。",
                                              Kind::fan,
                                              2400,
                                              {"F1Ac"}}));
    EXPECT_EQ(common[4], (CommonSensorReading{"power:PDTR",
                                              "直流输入功耗",
                                              "设备直流输入侧的功率，单位为瓦；不等同于插座功耗。",
                                              Kind::power,
                                              30,
                                              {"PDTR"}}));

    const auto proMax = SensorCatalog::common(readings, Platform::appleM4ProMax);
    EXPECT_EQ(proMax[1].sources, std::vector<std::string>{"Tg1U"});
    EXPECT_EQ(proMax[1].value, 80);
}

TEST(SensorCatalogCommon, PowerPrefersAValuedTotalThenFirstCandidate) {
    auto power = [](const char* key, std::optional<double> v) {
        return HardwareSensorReading(key, key, Kind::power, v);
    };
    struct Case {
        std::vector<HardwareSensorReading> readings;
        std::optional<std::string> id;
        std::optional<double> value;
    };
    const Case cases[] = {
        {{power("PDTR", 30), power("PSTR", 25)}, "power:PSTR", 25},
        {{power("PDTR", 30), power("PSTR", std::nullopt)}, "power:PDTR", 30},
        {{power("PDTR", std::nullopt), power("PSTR", std::nullopt)}, "power:PSTR", std::nullopt},
        {{power("PCPR", 5)}, std::nullopt, std::nullopt},
        {{{"PSTR", "v", Kind::voltage, 5}}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto common = SensorCatalog::common(c.readings, Platform::generic);
        ASSERT_EQ(common.empty(), !c.id.has_value());
        if (c.id) {
            EXPECT_EQ(common.back().id, *c.id);
            EXPECT_EQ(common.back().value, c.value);
        }
    }
    EXPECT_TRUE(SensorCatalog::common({}, Platform::appleM4).empty());
}
