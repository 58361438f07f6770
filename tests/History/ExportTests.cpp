#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>
#include <vector>

#include "pyrelle/Export.hpp"
#include "support/CaseNames.hpp"

namespace pyrelle {
namespace {

const std::string header =
    "timestamp,cpu_percent,cpu_temperature_c,speed_limit_percent,scheduler_limit_percent,"
    "available_cpus,total_cpus,thermal_state,thermal_warning,turbo_driver,ac_power,low_power,"
    "fan0_rpm,fan1_rpm\n";

// 2025-01-02T03:04:05Z
const Date sampleDate = Date::fromUnixTime(1735787045);

Snapshot bare() {
    Snapshot s;
    s.date = sampleDate;
    s.turbo = TurboState::unknown;
    s.totalCPUs = 8;
    return s;
}

Snapshot full() {
    Snapshot s = bare();
    s.cpuUsage = 12.345;
    s.sensors = {{"TC0P", "CPU", 61.5}, {"TC0D", "CPU die", 70.125}, {"TG0P", "GPU", 90}};
    s.fans = {{0, 1850.0, 1200.0, 5000.0, false, true}, {1, 2010.5, 1200.0, 5000.0, false, true}};
    s.speedLimit = 100;
    s.schedulerLimit = 80;
    s.availableCPUs = 6;
    s.thermalState = 2;
    s.thermalWarning = -3;
    s.turbo = TurboState::driverNotLoaded;
    s.acPower = true;
    s.lowPower = true;
    return s;
}

std::string line(const Snapshot& s) {
    const std::string text = Export::csv(std::vector<Snapshot>{s});
    EXPECT_EQ(text.substr(0, header.size()), header);
    return text.substr(header.size());
}

TEST(ExportTest, EmptyListIsHeaderAndLineFeed) {
    EXPECT_EQ(Export::csv({}), header);
}

TEST(ExportTest, FullLine) {
    EXPECT_EQ(line(full()),
              "2025-01-02T03:04:05Z,12.35,70.12,100,80,6,8,2,-3,driverNotLoaded,1,1,1850.00,"
              "2010.50\n");
}

TEST(ExportTest, EverythingAbsent) {
    const std::string text = line(bare());
    EXPECT_EQ(text, "2025-01-02T03:04:05Z,,,,,,8,0,,unknown,,0,,\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), ','), 13);
}

struct RoundingCase {
    double usage;
    const char* text;
};

class RoundingTest : public ::testing::TestWithParam<RoundingCase> {};

// The exact double is rounded: 2.675 is stored just below, 12.345 just above.
TEST_P(RoundingTest, RoundsLikePrintf) {
    Snapshot s = bare();
    s.cpuUsage = GetParam().usage;
    const std::string text = line(s);
    EXPECT_EQ(text.substr(21, text.find(',', 21) - 21), GetParam().text);
    char reference[64];
    std::snprintf(reference, sizeof reference, "%.2f", GetParam().usage);
    EXPECT_EQ(std::string(GetParam().text), reference);
}

INSTANTIATE_TEST_SUITE_P(Values, RoundingTest,
                         ::testing::Values(RoundingCase{12.345, "12.35"},
                                           RoundingCase{2.675, "2.67"}, RoundingCase{7, "7.00"},
                                           RoundingCase{0.125, "0.12"},
                                           RoundingCase{-0.001, "-0.00"},
                                           RoundingCase{1e20, "100000000000000000000.00"},
                                           RoundingCase{INFINITY, "inf"}, RoundingCase{NAN, "nan"}),
                         pyrelle::testing::caseNames([](const RoundingCase& c) {
                             return pyrelle::testing::label(c.usage);
                         }));

TEST(ExportTest, DecimalPointDoesNotFollowTheLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "de_DE.UTF-8 missing";
    char localised[32];
    std::snprintf(localised, sizeof localised, "%.2f", 12.345);
    const std::string text = line(full());
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_STREQ(localised, "12,35");  // the locale really uses a decimal comma
    EXPECT_EQ(text.substr(0, 32), "2025-01-02T03:04:05Z,12.35,70.12");
}

TEST(ExportTest, FansAreLookedUpById) {
    Snapshot s = bare();
    s.fans = {{1, 900.0}, {2, 1000.0}, {1, 1100.0}};
    EXPECT_EQ(line(s), "2025-01-02T03:04:05Z,,,,,,8,0,,unknown,,0,,900.00\n");
    s.fans = {{0, std::nullopt}};
    EXPECT_EQ(line(s), "2025-01-02T03:04:05Z,,,,,,8,0,,unknown,,0,,\n");
    s.fans = {{-1, 5.0}, {0, 3.0}};
    EXPECT_EQ(line(s), "2025-01-02T03:04:05Z,,,,,,8,0,,unknown,,0,3.00,\n");
}

TEST(ExportTest, ManyLinesInOrderEndWithLineFeed) {
    std::vector<Snapshot> snapshots;
    for (int i = 0; i < 3; ++i) {
        Snapshot s = bare();
        s.date = sampleDate.adding(86400.0 * i + 0.999);  // fractions are dropped
        s.acPower = i % 2 == 0;
        snapshots.push_back(s);
    }
    EXPECT_EQ(Export::csv(snapshots), header +
                                          "2025-01-02T03:04:05Z,,,,,,8,0,,unknown,1,0,,\n"
                                          "2025-01-03T03:04:05Z,,,,,,8,0,,unknown,0,0,,\n"
                                          "2025-01-04T03:04:05Z,,,,,,8,0,,unknown,1,0,,\n");
}

TEST(ExportTest, TimestampsMatchTheDateTextEverywhere) {
    // Across leap days, centuries, the epoch, negative fractions and both ends of the range.
    const std::vector<double> unixSeconds{0,
                                          -0.5,
                                          -1,
                                          951782400,
                                          951868799.75,
                                          4107542400,
                                          -62135596800.0,
                                          253402300799.0,
                                          -2208988800.0,
                                          1735787045.999,
                                          1709164800,
                                          1e9};
    for (double unix : unixSeconds) {
        Snapshot s = bare();
        s.date = Date::fromUnixTime(unix);
        const std::string text = line(s);
        EXPECT_EQ(text.substr(0, text.find(',')), s.date.iso8601()) << unix;
    }
    for (double unix : {-62135596801.0, 253402300800.0, double(NAN), double(INFINITY)}) {
        Snapshot s = bare();
        s.date = Date::fromUnixTime(unix);
        EXPECT_EQ(line(s), ",,,,,,8,0,,unknown,,0,,\n") << unix;
    }
}

}  // namespace
}  // namespace pyrelle
