// The pages' words in every language of the shipped translation table: a machine with every
// kind of sensor the catalog explains, hot enough for findings, rendered in each language;
// no page in a language without Han characters may show any outside the language menu.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "../../Sources/PyrelleHelper/HelperMessages.hpp"
#include "Model/AppState.hpp"
#include "Web/Pages.hpp"
#include "Web/Wording.hpp"
#include "pyrelle/SensorCatalog.hpp"
#include "pyrelle/SystemTelemetry.hpp"
#include "pyrelle/widget/WidgetStrings.hpp"

namespace {

using namespace kilnview;
using namespace pyrelle;

const WidgetStrings& shipped() {
    static const WidgetStrings strings = WidgetStrings::load(
        std::filesystem::path(PYRELLE_SOURCE_DIR) / "Widget/Localization.json", {});
    return strings;
}

// One sensor of each kind and catalog branch, and one the catalog does not know.
std::vector<HardwareSensorReading> everyKindOfSensor() {
    using K = HardwareSensorKind;
    return {{"TH0a", "其他 · TH0a", K::temperature, 41},
            {"TB0T", "其他 · TB0T", K::temperature, 33},
            {"TW0P", "其他 · TW0P", K::temperature, 40},
            {"Tm0p", "其他 · Tm0p", K::temperature, 37},
            {"Tp01", "其他 · Tp01", K::temperature, 80},
            {"Tg0K", "其他 · Tg0K", K::temperature, 50},
            {"Ta3n", "其他 · Ta3n", K::temperature, 39},
            {"PSTR", "PSTR", K::power, 18},
            {"PDTR", "PDTR", K::power, 22},
            {"PCPC", "PCPC", K::power, 5},
            {"PG0C", "PG0C", K::power, 3},
            {"PMTR", "PMTR", K::power, 1},
            {"VD0R", "VD0R", K::voltage, 20},
            {"ID0R", "ID0R", K::current, 1},
            {"PZ0G", "PZ0G", K::power, 0.3}};
}

Snapshot hotMachine(double at) {
    Snapshot s;
    s.date = Date(at);
    s.cpuUsage = 97;
    s.smcAvailable = true;
    s.acPower = false;
    s.memoryPressure = MemoryPressure::warning;
    s.thermalState = 2;
    s.speedLimit = 70;
    s.sensors = {{"TC0P", "CPU", 96}, {"TG0D", "GPU", 70}};
    s.additionalSensors = everyKindOfSensor();
    s.fans = {{0, 5000, 1200, 5000, false, true}, {1, 5200, 1200, 5200, true, true}};
    return s;
}

// What the page shows or says: without its language menu (whose entries name each language
// in itself) and without the data attributes its script reads.
std::string withoutLanguageMenu(const std::string& html) {
    static const std::regex menu("<select id=\"language\">.*?</select>");
    static const std::regex data(" data-[a-z-]+=\"[^\"]*\"");
    return std::regex_replace(std::regex_replace(html, menu, ""), data, "");
}

// The first Han character (or CJK punctuation) in `text` with some context, or "".
std::string firstHan(const std::string& text) {
    for (std::size_t i = 0; i + 2 < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte != 0xE3 && (byte < 0xE4 || byte > 0xE9)) continue;
        const unsigned code = ((byte & 0x0F) << 12) |
                              ((static_cast<unsigned char>(text[i + 1]) & 0x3F) << 6) |
                              (static_cast<unsigned char>(text[i + 2]) & 0x3F);
        const bool han = (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0x3400 && code <= 0x4DBF);
        const bool punctuation = code >= 0x3000 && code <= 0x303F;
        if (han || punctuation) return text.substr(i >= 60 ? i - 60 : 0, 120);
    }
    return {};
}

TEST(PageText, EveryPageIsFreeOfChineseInLanguagesWithoutHanCharacters) {
    AppState state(SensorNamingPlatform::generic, Date(0));
    for (int i = 0; i < 90; ++i) state.record(hotMachine(1000 + i), std::nullopt, i, {});
    const AppView view = state.view();
    ASSERT_FALSE(view.report.findings.empty()) << "the machine should be hot enough for findings";
    const AppHistory history = state.history(true);
    const Pages::PowerReading power{std::nullopt, "命令超时。请刷新状态确认结果。"};
    for (const char* language : {"en", "ko", "de", "fr", "es"}) {
        const AppText text(shipped(), language);
        const Pages::PageContext context{text, "token"};
        const std::pair<const char*, std::string> pages[] = {
            {"overview", Pages::overview(context, view)},
            {"sensors", Pages::sensors(context, view)},
            {"fans", Pages::fans(context, view)},
            {"history", Pages::history(context, view, history)},
            {"processes", Pages::processes(context, view)},
            {"power", Pages::power(context, view, history, power)}};
        for (const auto& [name, html] : pages)
            EXPECT_EQ(firstHan(withoutLanguageMenu(html)), "") << name << " in " << language;
    }
    // Fans carry the numbers they have everywhere else (their ids), also among key readings.
    const std::string sensors = Pages::sensors({AppText(shipped(), "en"), "token"}, view);
    EXPECT_NE(sensors.find("<td>Fan 0</td>"), std::string::npos);
    EXPECT_NE(sensors.find("<dt>Fan 1 <span"), std::string::npos);
    EXPECT_EQ(sensors.find("Fan 2"), std::string::npos);
}

// A helper's last words reach the page in the reader's language, also with a detail after a
// known head or clauses joined; Chinese keeps them as written.
TEST(PageText, HelperWordsReadInTheReadersLanguage) {
    namespace said = pyrelle::helper::messages;
    const std::string words[] = {
        said::kLeaseBusy,
        said::kLeaseLockUnavailable,
        said::kLeaseOverdue,
        said::kGuardianDeviceGone,
        std::string(said::kGuardianStillTrying) + said::kFanNotAutomatic,
        std::string(said::kRestoreFailed) + fancontrol::messages::kCoolingChanged,
        std::string(fancontrol::messages::kCoolingChanged) + "；" + said::kNoFans,
        // The core's SMC failures, alone and after a head.
        "SMC F0Md 写入失败（130）；此机型可能不支持控制",
        std::string(said::kRestoreFailed) + "SMC Ftst 读取失败（-5），设备没有正常响应",
        "SMC F1Tg 回读不一致，操作未确认（目标 6000，读回 无法读取；已等待最多 2 秒）",
    };
    for (const char* language : {"en", "ko", "de", "fr", "es"}) {
        const AppText text(shipped(), language);
        for (const std::string& each : words)
            EXPECT_EQ(firstHan(Wording::helperWords(each, text)), "") << each << " in " << language;
    }
    for (const std::string& each : words)
        EXPECT_EQ(Wording::helperWords(each, AppText(shipped(), "zh-Hans")), each);
    EXPECT_EQ(Wording::helperWords(words[8], AppText(shipped(), "en")),
              "Returning the fans to automatic failed: SMC Ftst could not be read (-5); the device "
              "did not answer properly");
}

// Japanese writes with Han characters too, so its column is checked for presence: every
// text the catalog can give, on every platform, has all six columns.
TEST(PageText, TheSensorCatalogIsTranslatedIntoEveryLanguageOfTheTable) {
    std::vector<HardwareSensorReading> readings = everyKindOfSensor();
    readings.push_back({"TC0P", "", HardwareSensorKind::temperature, 50});
    readings.push_back({"TG0D", "", HardwareSensorKind::temperature, 50});
    readings.push_back({"F0Ac", "", HardwareSensorKind::fan, 1200});
    for (SensorNamingPlatform platform :
         {SensorNamingPlatform::generic, SensorNamingPlatform::appleM4,
          SensorNamingPlatform::appleM4ProMax}) {
        std::vector<std::string> texts;
        for (const HardwareSensorReading& reading : readings) {
            if (auto meaning = SensorCatalog::meaning(reading, platform)) {
                texts.push_back(meaning->title);
                texts.push_back(meaning->explanation);
                texts.emplace_back(title(meaning->component));
            }
        }
        for (const CommonSensorReading& common : SensorCatalog::common(readings, platform)) {
            if (common.kind != HardwareSensorKind::fan) texts.push_back(common.title);
            texts.push_back(common.explanation);
        }
        ASSERT_GE(texts.size(), 30u);
        for (const std::string& source : texts) {
            const auto row = shipped().table().find(source);
            ASSERT_NE(row, shipped().table().end()) << source;
            for (std::string_view code : WidgetStrings::codes) {
                const auto cell = row->second.find(code);
                EXPECT_TRUE(cell != row->second.end() && !cell->second.empty())
                    << source << " lacks " << code;
            }
        }
    }
}

}  // namespace
