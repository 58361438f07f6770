#include <gtest/gtest.h>

#include "pyrelle/PowerConfiguration.hpp"

using namespace pyrelle;

namespace {

using Settings = PowerConfiguration::Settings;

// A listing as the real tool prints it, with settings the reader must skip.
const char* const realListing =
    "Battery Power:\n"
    " lowpowermode         1\n"
    " standby              1\n"
    " Sleep On Power Button 1\n"
    " hibernatefile        /var/vm/sleepimage\n"
    " sleep                10\n"
    " displaysleep         2\n"
    "AC Power:\n"
    " lowpowermode         0\n"
    " sleep                1 (sleep prevented by coreaudiod, powerd)\n"
    " displaysleep         10\n";

TEST(PowerConfigurationParse, ReadsBothProfilesOfARealListing) {
    PowerConfiguration::Notes notes;
    const auto configuration = PowerConfiguration::parse(realListing, &notes);
    EXPECT_EQ(configuration.profiles.at(PowerSource::battery),
              (Settings{{PowerSetting::lowpowermode, 1},
                        {PowerSetting::sleep, 10},
                        {PowerSetting::displaysleep, 2}}));
    // A sleep blocker's note after the value keeps the value readable.
    EXPECT_EQ(configuration.profiles.at(PowerSource::ac),
              (Settings{{PowerSetting::lowpowermode, 0},
                        {PowerSetting::sleep, 1},
                        {PowerSetting::displaysleep, 10}}));
    EXPECT_EQ(notes, (PowerConfiguration::Notes{{{PowerSource::ac, PowerSetting::sleep},
                                                 "sleep prevented by coreaudiod, powerd"}}));
}

struct ParseCase {
    const char* name;
    std::string listing;
    std::map<PowerSource, Settings> expected;
};

class PowerConfigurationParseCases : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PowerConfigurationParseCases, Parses) {
    EXPECT_EQ(PowerConfiguration::parse(GetParam().listing).profiles, GetParam().expected);
}

const PowerSource ac = PowerSource::ac;
const PowerSource battery = PowerSource::battery;
const PowerSetting sleep = PowerSetting::sleep;
const PowerSetting display = PowerSetting::displaysleep;
const PowerSetting low = PowerSetting::lowpowermode;

INSTANTIATE_TEST_SUITE_P(
    Listings, PowerConfigurationParseCases,
    ::testing::Values(
        ParseCase{"lines before any header", " sleep 10\n displaysleep 5\n", {}},
        ParseCase{"empty", "", {}}, ParseCase{"header alone", "AC Power:", {{ac, {}}}},
        ParseCase{"headers are exact",
                  "ac power:\n sleep 1\nAC Power: \n sleep 2\n",
                  {{ac, {{sleep, 2}}}}},
        ParseCase{"header with inner space differs", "AC  Power:\n sleep 1\n", {}},
        ParseCase{"duplicate in one block",
                  "Battery Power:\n displaysleep 2\n sleep 1\n displaysleep 2\n",
                  {{battery, {{sleep, 1}}}}},
        ParseCase{
            "third copy stays removed", "AC Power:\n sleep 1\n sleep 1\n sleep 1\n", {{ac, {}}}},
        ParseCase{"repeated header empties and its lines are duplicates",
                  "AC Power:\n sleep 1\n displaysleep 3\nAC Power:\n sleep 1\n displaysleep 3\n",
                  {{ac, {}}}},
        ParseCase{"repeated header keeps the other source",
                  "Battery Power:\n sleep 4\nAC Power:\n sleep 1\nAC Power:\n",
                  {{battery, {{sleep, 4}}}, {ac, {}}}},
        ParseCase{"same setting on both sources is no duplicate",
                  "AC Power:\n sleep 1\nBattery Power:\n sleep 2\n",
                  {{ac, {{sleep, 1}}}, {battery, {{sleep, 2}}}}},
        ParseCase{"out of range and malformed values are ignored",
                  "AC Power:\n sleep 241\n sleep -1\n lowpowermode 2\n displaysleep ten\n "
                  "displaysleep 1.5\n"
                  " displaysleep 0x10\n displaysleep +\n displaysleep 99999999999999999999999\n",
                  {{ac, {}}}},
        ParseCase{"ignored lines do not count as duplicates",
                  "AC Power:\n sleep 500\n sleep 3\n",
                  {{ac, {{sleep, 3}}}}},
        ParseCase{"signs and bounds",
                  "AC Power:\n sleep +240\n displaysleep -0\n lowpowermode 1\n",
                  {{ac, {{sleep, 240}, {display, 0}, {low, 1}}}}},
        ParseCase{"only one parenthesised note may follow a value",
                  "AC Power:\n sleep 1 (sleep prevented by a)\n displaysleep 3 minutes\n"
                  " lowpowermode 1 (a) b\nBattery Power:\n sleep 2 (open\n displaysleep 4 ((a))\n",
                  {{ac, {{sleep, 1}}}, {battery, {}}}},
        ParseCase{"a noted duplicate still removes the setting",
                  "AC Power:\n sleep 1\n sleep 1 (sleep prevented by a)\n",
                  {{ac, {}}}},
        ParseCase{"names are exact", "AC Power:\n Sleep 1\n sleep: 1\n sleep\n", {{ac, {}}}},
        ParseCase{"tabs, CR LF and unicode breaks",
                  "\tAC Power:\t\r\n\tsleep\t\t7\r\ndisplaysleep 4\xE2\x80\xA8lowpowermode 1",
                  {{ac, {{sleep, 7}, {display, 4}, {low, 1}}}}},
        ParseCase{
            "invalid UTF-8 and NULs around lines",
            std::string(
                "\xFF\xFE\nAC Power:\n sleep 5\n\xC3\x28 1\n sleep\0 1\n displaysleep 9\xFF\n", 54),
            {{ac, {{sleep, 5}}}}}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& character : name) {
            if (!std::isalnum(static_cast<unsigned char>(character))) character = '_';
        }
        return name;
    });

}  // namespace
