// The status format: cleaning on construction and decoding, the size limit, strict field
// types, the current reading of each metric and freshness.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "WidgetTestSupport.hpp"
#include "pyrelle/widget/WidgetDataError.hpp"
#include "pyrelle/widget/WidgetSnapshot.hpp"
#include "support/CaseNames.hpp"

namespace pyrelle {
namespace {

using widget_test::sampleSnapshot;
constexpr double kDate = 786900000.5;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

WidgetSnapshot withReadings(std::optional<double> temperature, std::optional<double> usage) {
    return WidgetSnapshot(kDate, temperature, temperature, temperature, usage, {}, "", "", "", true,
                          {});
}

struct RangeCase {
    double value;
    bool temperatureKept;
    bool usageKept;
};

class ReadingRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ReadingRange, KeepsOnlyFiniteValuesInsideTheRange) {
    const RangeCase& c = GetParam();
    WidgetSnapshot s = withReadings(c.value, c.value);
    EXPECT_EQ(s.cpuTemperature.has_value(), c.temperatureKept);
    EXPECT_EQ(s.gpuTemperature.has_value(), c.temperatureKept);
    EXPECT_EQ(s.storageTemperature.has_value(), c.temperatureKept);
    EXPECT_EQ(s.cpuUsage.has_value(), c.usageKept);
}

INSTANTIATE_TEST_SUITE_P(
    Cleaning, ReadingRange,
    ::testing::Values(RangeCase{0, true, true}, RangeCase{100, true, true},
                      RangeCase{100.1, true, false}, RangeCase{150, true, false},
                      RangeCase{150.1, false, false}, RangeCase{-0.1, false, false},
                      RangeCase{kNaN, false, false}, RangeCase{kInf, false, false}),
    pyrelle::testing::caseNames([](const RangeCase& c) {
        return pyrelle::testing::label(c.value);
    }));

std::vector<std::int64_t> ids(const WidgetSnapshot& s) {
    std::vector<std::int64_t> out;
    for (const WidgetFan& fan : s.fans) out.push_back(fan.id);
    return out;
}

WidgetSnapshot withFans(std::vector<WidgetFan> fans) {
    return WidgetSnapshot(kDate, {}, {}, {}, {}, std::move(fans), "", "", "", true, {});
}

TEST(WidgetFanCleaning, DuplicateAndOutOfRangeIdsAreDroppedFirstOneWins) {
    WidgetSnapshot s =
        withFans({WidgetFan(3, 1000, {}, {}), WidgetFan(3, 2000, {}, {}), WidgetFan(40, 1, {}, {}),
                  WidgetFan(1, 1, {}, {}), WidgetFan(-1, 1, {}, {}), WidgetFan(31, 1, {}, {}),
                  WidgetFan(32, 1, {}, {})});
    EXPECT_EQ(ids(s), (std::vector<std::int64_t>{3, 1, 31}));
    EXPECT_EQ(s.fans[0].rpm, 1000);
}

TEST(WidgetFanCleaning, KeepsTheFirstEightAndLooksAtNoMoreThanSixtyFour) {
    std::vector<WidgetFan> ten;
    for (int i = 0; i < 10; ++i) ten.emplace_back(i, 1000, 6000, false);
    EXPECT_EQ(ids(withFans(ten)), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6, 7}));

    std::vector<WidgetFan> late(64, WidgetFan(99, 1, {}, {}));
    late.emplace_back(5, 1, std::nullopt, std::nullopt);  // the 65th
    EXPECT_TRUE(withFans(late).fans.empty());
    late[63] = WidgetFan(6, 1, {}, {});  // the 64th is still looked at
    EXPECT_EQ(ids(withFans(late)), (std::vector<std::int64_t>{6}));
}

TEST(WidgetFanCleaning, SpeedsOutsideTheRatedRangeBecomeAbsent) {
    WidgetFan fan(2, 30001, -1, true);
    EXPECT_EQ(fan.id, 2);
    EXPECT_FALSE(fan.rpm);
    EXPECT_FALSE(fan.maximum);
    EXPECT_EQ(fan.manual, true);
    EXPECT_EQ(WidgetFan(0, 30000, 0, {}).rpm, 30000);
    EXPECT_FALSE(WidgetFan(0, kNaN, kInf, {}).rpm);
}

TEST(WidgetPointCleaning, NegativeOrNonFiniteValuesBecomeAbsent) {
    WidgetPoint point(kDate, -1, 7);
    EXPECT_EQ(point.date, kDate);
    EXPECT_EQ(point.segment, 7);
    EXPECT_FALSE(point.value);
    EXPECT_FALSE(WidgetPoint(kDate, kNaN, 0).value);
    EXPECT_EQ(WidgetPoint(kDate, 0, 0).value, 0);
}

TEST(WidgetSnapshotCleaning, LabelsAreCutByCharactersNotBytes) {
    std::string chinese;
    for (int i = 0; i < 150; ++i) chinese += "风";
    // "é" written as e + combining acute is one character.
    std::string accented;
    for (int i = 0; i < 30; ++i) accented += "e\xCC\x81";
    WidgetSnapshot s(kDate, {}, {}, {}, {}, {}, chinese, std::string(101, 'x'), accented, true, {});
    EXPECT_EQ(s.mode.size(), 100u * 3);
    EXPECT_EQ(s.turbo, std::string(100, 'x'));
    EXPECT_EQ(s.language.size(), 20u * 3);
}

TEST(WidgetSnapshotCleaning, IllFormedTextIsRepairedSoItCanBeWritten) {
    WidgetSnapshot s(kDate, {}, {}, {}, {}, {}, "ok\xFF", "", "", true, {});
    EXPECT_EQ(s.mode, "ok\xEF\xBF\xBD");
    EXPECT_NO_THROW(s.encode());
}

TEST(WidgetSnapshotDecode, BidiControlsAreStrippedFromEveryText) {
    // Each control between two letters; an unterminated override would otherwise reverse
    // the rest of the card's line ("睿频 · " and the turbo text after the mode).
    std::string controls;
    for (const char* c : {"\u061C", "\u200E", "\u200F", "\u202A", "\u202B", "\u202C", "\u202D",
                          "\u202E", "\u2066", "\u2067", "\u2068", "\u2069"}) {
        controls += std::string("a") + c;
    }
    nlohmann::json file = nlohmann::json::parse(sampleSnapshot(kDate).encode());
    file["mode"] = controls;
    file["turbo"] = "\u202Eon\u202C";
    WidgetSnapshot s = WidgetSnapshot::decode(file.dump());
    EXPECT_EQ(s.mode, std::string(12, 'a'));
    EXPECT_EQ(s.turbo, "on");
    // The zero-width joiner and non-breaking space are text, not controls: kept.
    EXPECT_EQ(WidgetSnapshot(kDate, {}, {}, {}, {}, {}, "a\u200Db\u00A0", "", "", true, {}).mode,
              "a\u200Db\u00A0");
}

TEST(WidgetSnapshotCleaning, TrendsKeepTheFiveMinuteWindowSortedAndCapped) {
    WidgetSnapshot::Trends trends;
    trends["cpuTemperature"] = {WidgetPoint(kDate - 301, 1, 0), WidgetPoint(kDate + 1, 1, 0),
                                WidgetPoint(kDate, 3, 0),       WidgetPoint(kDate - 300, 2, 0),
                                WidgetPoint(kNaN, 1, 0),        WidgetPoint(kDate - 300, 4, 1)};
    trends["gpu"] = {WidgetPoint(kDate, 1, 0)};
    std::vector<WidgetPoint> many;
    for (int i = 129; i >= 0; --i) many.emplace_back(kDate - i * 2, i, 0);
    std::reverse(many.begin(), many.end());  // newest first: cleaning must sort
    trends["fan"] = many;

    WidgetSnapshot s(kDate, {}, {}, {}, {}, {}, "", "", "", true, trends);
    ASSERT_EQ(s.trends.size(), 5u);
    EXPECT_EQ(s.trends.count("gpu"), 0u);
    EXPECT_TRUE(s.trends.at("storageTemperature").empty());

    const auto& cpu = s.trends.at("cpuTemperature");
    ASSERT_EQ(cpu.size(), 3u);
    EXPECT_EQ(cpu[0].value, 2);  // equal dates keep their given order
    EXPECT_EQ(cpu[1].value, 4);
    EXPECT_EQ(cpu[2].value, 3);

    const auto& fan = s.trends.at("fan");
    ASSERT_EQ(fan.size(), 120u);
    EXPECT_EQ(fan.front().date, kDate - 119 * 2);
    EXPECT_EQ(fan.back().date, kDate);
    EXPECT_TRUE(
        std::is_sorted(fan.begin(), fan.end(),
                       [](const WidgetPoint& a, const WidgetPoint& b) { return a.date < b.date; }));
}

TEST(WidgetSnapshotValue, FanIsTheFastestFanWithASpeed) {
    WidgetSnapshot s = withFans(
        {WidgetFan(0, 1200, {}, {}), WidgetFan(1, 2400, {}, {}), WidgetFan(2, {}, {}, {})});
    EXPECT_EQ(s.value(WidgetMetric::fan), 2400);
    EXPECT_FALSE(withFans({WidgetFan(0, {}, 6000, true)}).value(WidgetMetric::fan));
    EXPECT_EQ(sampleSnapshot().value(WidgetMetric::cpuTemperature), 58.2);
    EXPECT_FALSE(sampleSnapshot().value(WidgetMetric::storageTemperature));
}

struct FreshnessCase {
    double age;
    bool running;
    WidgetFreshness expected;
};

class Freshness : public ::testing::TestWithParam<FreshnessCase> {};

TEST_P(Freshness, FollowsTheAgeAtTheGivenMoment) {
    WidgetSnapshot s = withReadings(50, 50);
    s.running = GetParam().running;
    EXPECT_EQ(s.freshness(kDate + GetParam().age), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Freshness,
                         ::testing::Values(FreshnessCase{300, true, WidgetFreshness::recent},
                                           FreshnessCase{301, true, WidgetFreshness::previous},
                                           FreshnessCase{-120, true, WidgetFreshness::recent},
                                           FreshnessCase{-121, true, WidgetFreshness::unavailable},
                                           FreshnessCase{86400, true, WidgetFreshness::previous},
                                           FreshnessCase{86401, true, WidgetFreshness::unavailable},
                                           FreshnessCase{0, false, WidgetFreshness::paused},
                                           FreshnessCase{86400, false, WidgetFreshness::paused},
                                           FreshnessCase{-121, false, WidgetFreshness::unavailable},
                                           FreshnessCase{kNaN, true, WidgetFreshness::unavailable}),
                         pyrelle::testing::caseNames([](const FreshnessCase& c) {
                             return pyrelle::testing::label("age", c.age,
                                                            c.running ? "running" : "stopped");
                         }));

TEST(WidgetSnapshotFreshness, NonFiniteDateIsUnavailable) {
    WidgetSnapshot s = withReadings(50, 50);
    s.date = kInf;
    EXPECT_EQ(s.freshness(kDate), WidgetFreshness::unavailable);
}

// The example file: one fan, one CPU temperature point, GPU and storage missing.
nlohmann::json exampleFile() {
    return nlohmann::json::parse(
        R"({"schema":1,"date":786900000.5,"cpuTemperature":58.2,"cpuUsage":12.5,
        "fans":[{"id":0,"rpm":1850,"maximum":6000,"manual":false}],"mode":"","turbo":"","language":"system",
        "running":true,"trends":{"cpuTemperature":[{"date":786899760,"value":57.9,"segment":0}],
        "gpuTemperature":[],"storageTemperature":[],"cpuUsage":[],"fan":[]}})");
}

TEST(WidgetSnapshotDecode, ReadsTheExampleFileAndRoundTrips) {
    WidgetSnapshot s = WidgetSnapshot::decode(exampleFile().dump());
    EXPECT_EQ(s.date, 786900000.5);
    EXPECT_EQ(s.cpuTemperature, 58.2);
    EXPECT_FALSE(s.gpuTemperature);
    ASSERT_EQ(s.fans.size(), 1u);
    EXPECT_EQ(s.fans[0], WidgetFan(0, 1850, 6000, false));
    EXPECT_EQ(s.trends.at("cpuTemperature").at(0), WidgetPoint(786899760, 57.9, 0));
    EXPECT_EQ(WidgetSnapshot::decode(s.encode()), s);
    EXPECT_EQ(WidgetSnapshot::decode(sampleSnapshot().encode()), sampleSnapshot());
}

TEST(WidgetSnapshotDecode, SizeLimitIsExactly256KiB) {
    std::string json = exampleFile().dump();
    std::string exact = json + std::string(WidgetSnapshot::maximumFileSize - json.size(), ' ');
    ASSERT_EQ(exact.size(), 262144u);
    EXPECT_NO_THROW(WidgetSnapshot::decode(exact));
    EXPECT_THROW(WidgetSnapshot::decode(exact + " "), WidgetDataError);
}

TEST(WidgetSnapshotDecode, AppliesCleaningToTheFile) {
    nlohmann::json file = exampleFile();
    file["cpuTemperature"] = 200;
    file["fans"] = {{{"id", 0}, {"rpm", 30001}}, {{"id", 0}}, {{"id", 40}}};
    file["trends"]["cpuUsage"] = {{{"date", 786900000.5 - 301}, {"value", 1}, {"segment", 0}},
                                  {{"date", 786900000.5}, {"value", -1}, {"segment", 2}}};
    file["trends"]["gpu"] = nlohmann::json::array();
    WidgetSnapshot s = WidgetSnapshot::decode(file.dump());
    EXPECT_FALSE(s.cpuTemperature);
    ASSERT_EQ(s.fans.size(), 1u);
    EXPECT_FALSE(s.fans[0].rpm);
    ASSERT_EQ(s.trends.at("cpuUsage").size(), 1u);
    EXPECT_FALSE(s.trends.at("cpuUsage")[0].value);
    EXPECT_EQ(s.trends.count("gpu"), 0u);
}

TEST(WidgetSnapshotDecode, OptionalReadingsMayBeMissingOrNull) {
    nlohmann::json file = exampleFile();
    file.erase("cpuTemperature");
    file["cpuUsage"] = nullptr;
    file["fans"][0].erase("manual");
    WidgetSnapshot s = WidgetSnapshot::decode(file.dump());
    EXPECT_FALSE(s.cpuTemperature);
    EXPECT_FALSE(s.cpuUsage);
    EXPECT_FALSE(s.fans[0].manual);
}

// Files that are refused: each entry changes the example in one way.
struct BadFile {
    const char* name;
    std::function<void(nlohmann::json&)> change;
};

class RefusedFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(RefusedFile, IsNotDecoded) {
    nlohmann::json file = exampleFile();
    GetParam().change(file);
    EXPECT_ANY_THROW(WidgetSnapshot::decode(file.dump()));
}

INSTANTIATE_TEST_SUITE_P(
    StrictFields, RefusedFile,
    ::testing::Values(
        BadFile{"schema2", [](nlohmann::json& f) { f["schema"] = 2; }},
        BadFile{"schemaMissing", [](nlohmann::json& f) { f.erase("schema"); }},
        BadFile{"schemaText", [](nlohmann::json& f) { f["schema"] = "1"; }},
        BadFile{"dateMissing", [](nlohmann::json& f) { f.erase("date"); }},
        BadFile{"dateText", [](nlohmann::json& f) { f["date"] = "2025-01-01"; }},
        BadFile{"modeMissing", [](nlohmann::json& f) { f.erase("mode"); }},
        BadFile{"languageNumber", [](nlohmann::json& f) { f["language"] = 1; }},
        BadFile{"runningNumber", [](nlohmann::json& f) { f["running"] = 1; }},
        BadFile{"temperatureText", [](nlohmann::json& f) { f["cpuTemperature"] = "58"; }},
        BadFile{"temperatureBool", [](nlohmann::json& f) { f["cpuTemperature"] = true; }},
        BadFile{"fansObject", [](nlohmann::json& f) { f["fans"] = nlohmann::json::object(); }},
        BadFile{"fanIdFraction", [](nlohmann::json& f) { f["fans"][0]["id"] = 1.5; }},
        BadFile{"fanIdHuge",
                [](nlohmann::json& f) { f["fans"][0]["id"] = 18446744073709551615ull; }},
        BadFile{"fanManualText", [](nlohmann::json& f) { f["fans"][0]["manual"] = "no"; }},
        BadFile{"trendsArray", [](nlohmann::json& f) { f["trends"] = nlohmann::json::array(); }},
        BadFile{"pointWithoutSegment",
                [](nlohmann::json& f) { f["trends"]["fan"] = {{{"date", 1}}}; }},
        BadFile{"topLevelArray", [](nlohmann::json& f) { f = nlohmann::json::array({f}); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WidgetSnapshotDecode, RefusesBytesThatAreNotJSON) {
    std::string json = exampleFile().dump();
    EXPECT_ANY_THROW(WidgetSnapshot::decode(json.substr(0, json.size() / 2)));  // truncated
    EXPECT_ANY_THROW(WidgetSnapshot::decode(std::string_view()));
    std::string invalid = json;
    invalid.replace(invalid.find("\"system\""), 8, "\"sys\xC0\xAFm\"");
    EXPECT_ANY_THROW(WidgetSnapshot::decode(invalid));
    std::string infinite = json;
    infinite.replace(infinite.find("786900000.5"), 11, "1e999");
    EXPECT_ANY_THROW(WidgetSnapshot::decode(infinite));
}

TEST(WidgetSnapshotDecode, IntegralFloatsAreIntegers) {
    nlohmann::json file = exampleFile();
    file["schema"] = 1.0;
    file["fans"][0]["id"] = 2.0;
    EXPECT_EQ(WidgetSnapshot::decode(file.dump()).fans.at(0).id, 2);
}

TEST(WidgetSnapshotEncode, RefusesNumbersJSONCannotCarry) {
    WidgetSnapshot s = sampleSnapshot();
    s.cpuTemperature = kNaN;  // set after cleaning
    EXPECT_THROW(s.encode(), WidgetDataError);
    s = sampleSnapshot();
    s.date = kInf;
    EXPECT_THROW(s.encode(), WidgetDataError);
    std::string compact = sampleSnapshot().encode();
    EXPECT_EQ(compact.find('\n'), std::string::npos);
    EXPECT_EQ(compact.find(": "), std::string::npos);
}

}  // namespace
}  // namespace pyrelle
