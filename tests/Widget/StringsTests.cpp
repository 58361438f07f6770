// Card texts: the language rules, the shipped translation table and the user's languages.
#include <gtest/gtest.h>

#include "WidgetTestSupport.hpp"
#include "pyrelle/widget/WidgetStatusContent.hpp"
#include "pyrelle/widget/WidgetStrings.hpp"

namespace pyrelle {
namespace {

using Texts = WidgetStatusContent::Texts;
const std::filesystem::path kTable =
    std::filesystem::path(PYRELLE_SOURCE_DIR) / "Widget/Localization.json";

WidgetStrings shipped(std::vector<std::string> preferred = {}) {
    return WidgetStrings::load(kTable, preferred);
}

TEST(WidgetStringsLanguage, ChineseVariantsUseTheSourceOrTraditionalCharacters) {
    WidgetStrings strings = shipped();
    EXPECT_EQ(strings.translate("风扇转速", "zh-Hans"), "风扇转速");
    EXPECT_EQ(strings.translate("风扇转速", "zh"), "风扇转速");
    EXPECT_EQ(strings.translate("风扇转速", "zh-TW"), "風扇轉速");
    EXPECT_EQ(strings.translate("等待状态数据", "zh-Hant"), "等待狀態數據");
    EXPECT_EQ(strings.translate("监测已暂停", "zh-HK"), "監測已暫停");
    // Not in the table at all: still converted.
    EXPECT_EQ(strings.translate("风扇 1 · 自动", "zh-Hant-TW"), "風扇 1 · 自動");
}

TEST(WidgetStringsLanguage, EveryCardTextHasTraditionalCharactersForTaiwan) {
    for (std::string_view key :
         {Texts::openApp, Texts::waiting, Texts::sampled, Texts::recent, Texts::paused,
          Texts::turbo, Texts::fan, Texts::manual, Texts::automatic, Texts::description}) {
        std::string traditional = WidgetStrings::traditional(key);
        EXPECT_NE(traditional, key);
        EXPECT_EQ(shipped().translate(key, "zh-TW"), traditional);
    }
}

TEST(WidgetStringsLanguage, OtherLanguagesPickTheirColumnOrEnglish) {
    WidgetStrings strings = shipped();
    EXPECT_EQ(strings.translate("风扇转速", "ja"), "ファン回転数");
    EXPECT_EQ(strings.translate("风扇转速", "ja-JP"), "ファン回転数");
    EXPECT_EQ(strings.translate("风扇转速", "de-CH"), "Lüfterdrehzahl");
    EXPECT_EQ(strings.translate("风扇转速", "pt-BR"), "Fan Speed");
    EXPECT_EQ(strings.translate("风扇转速", ""), "Fan Speed");
    EXPECT_EQ(strings.translate("not a source text", "fr"), "not a source text");
}

TEST(WidgetStringsLanguage, SystemMeansTheFirstPreferredLanguage) {
    EXPECT_EQ(shipped({"ko-KR", "en"}).translate("手动", "system"), "수동");
    EXPECT_EQ(shipped({"zh-TW"}).translate("手动", "system"), "手動");
    EXPECT_EQ(shipped({}).translate("手动", "system"), "Manual");
}

TEST(WidgetStringsLanguage, KeysJoinedByTheSeparatorAreTranslatedPartByPart) {
    WidgetStrings strings = shipped();
    EXPECT_EQ(strings.translate("风扇 · 自动 · 未知", "es"),
              "Ventilador · Automático · Desconocido");
    EXPECT_EQ(strings.translate("均衡 · 自定义", "system"), "Balanced · Custom");
    // A key with its own entry wins over its parts; a missing column falls back to English.
    WidgetStrings custom(
        {{"甲 · 乙", {{"en", "whole"}}}, {"甲", {{"en", "A"}, {"de", "Ä"}}}, {"乙", {{"en", "B"}}}},
        {});
    EXPECT_EQ(custom.translate("甲 · 乙", "de"), "Ä · B");
    EXPECT_EQ(custom.translate("甲 · 乙", "en"), "whole");
    EXPECT_EQ(custom.translate("乙", "ja"), "B");
}

TEST(WidgetStringsTable, ShippedTableTranslatesEveryCardTextIntoEveryLanguage) {
    WidgetStrings strings = shipped();
    std::vector<std::string_view> keys{Texts::appName, Texts::description, Texts::openApp,
                                       Texts::waiting, Texts::sampled,     Texts::recent,
                                       Texts::paused,  Texts::turbo,       Texts::fan,
                                       Texts::manual,  Texts::automatic,   Texts::unknown};
    for (WidgetMetric metric :
         {WidgetMetric::cpuTemperature, WidgetMetric::cpuUsage, WidgetMetric::fan}) {
        keys.push_back(WidgetStatusContent::title(metric));
    }
    for (std::string_view key : keys) {
        auto row = strings.table().find(key);
        ASSERT_NE(row, strings.table().end()) << key;
        for (std::string_view code : WidgetStrings::codes) {
            auto cell = row->second.find(code);
            ASSERT_NE(cell, row->second.end()) << key << " " << code;
            EXPECT_FALSE(cell->second.empty()) << key << " " << code;
        }
    }
}

TEST(WidgetStringsTable, MissingOrMalformedTableShowsSourceTexts) {
    widget_test::TemporaryDirectory dir;
    EXPECT_TRUE(WidgetStrings::load(dir / "missing.json", {}).table().empty());
    for (const char* bad :
         {"{\"风扇\": {\"en\": 1}}", "{\"风扇\": \"Fan\"}", "[]", "{\"风扇\": {\"en\": \"Fan\"}"}) {
        widget_test::writeText(dir / "bad.json", bad);
        WidgetStrings strings = WidgetStrings::load(dir / "bad.json", {});
        EXPECT_TRUE(strings.table().empty()) << bad;
        EXPECT_EQ(strings.translate("风扇", "en"), "风扇");
    }
}

TEST(WidgetStringsEnvironment, PreferredLanguagesComeFromTheLocaleVariables) {
    auto from = [](std::map<std::string, std::string> env) {
        return WidgetStrings::preferredLanguagesFromEnvironment(
            [env](const char* name) -> const char* {
                auto it = env.find(name);
                return it == env.end() ? nullptr : it->second.c_str();
            });
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(from({{"LANGUAGE", "zh_TW:en"}, {"LANG", "de_DE.UTF-8"}}),
              (V{"zh-TW", "en", "de-DE"}));
    EXPECT_EQ(from({{"LC_ALL", "fr_FR.UTF-8@euro"}, {"LC_MESSAGES", "ja_JP"}, {"LANG", "de_DE"}}),
              V{"fr-FR"});
    EXPECT_EQ(from({{"LC_MESSAGES", "ja_JP"}, {"LANG", "de_DE"}}), V{"ja-JP"});
    EXPECT_EQ(from({{"LANG", "C.UTF-8"}}), V{});
    EXPECT_EQ(from({{"LC_ALL", "POSIX"}}), V{});
    EXPECT_EQ(from({{"LANGUAGE", "::ko"}, {"LANG", "ko_KR"}}), (V{"ko", "ko-KR"}));
    EXPECT_EQ(from({}), V{});
}

}  // namespace
}  // namespace pyrelle
