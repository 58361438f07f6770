// Card content: figures, absent values, fan lines, status labels and the trends the cards draw.
#include <algorithm>
#include <clocale>
#include <cmath>

#include <gtest/gtest.h>

#include "WidgetTestSupport.hpp"
#include "pyrelle/widget/WidgetCardRenderer.hpp"
#include "pyrelle/widget/WidgetFont.hpp"
#include "pyrelle/widget/WidgetStatusContent.hpp"

namespace pyrelle {
namespace {

using widget_test::sampleSnapshot;
using widget_test::texts;
constexpr double kDate = 786900000.5;
const WidgetStrings& table() {
    static const WidgetStrings strings = WidgetStrings::load(
        std::filesystem::path(PYRELLE_SOURCE_DIR) / "Widget/Localization.json", {});
    return strings;
}

WidgetStatusContent content(std::optional<WidgetSnapshot> snapshot, double date,
                            std::string language = "zh-Hans",
                            WidgetCardSize size = WidgetCardSize::medium) {
    if (snapshot) snapshot->language = language;
    WidgetStatusContent c;
    c.snapshot = std::move(snapshot);
    c.date = date;
    c.size = size;
    c.strings = &table();
    return c;
}

TEST(WidgetStatusContentFigures, ShowValuesOnlyWhileTheSnapshotIsUsable) {
    // Taken at 11:59, shown at 12:00 (recent), 12:05 (previous) and a day later.
    WidgetSnapshot snapshot = sampleSnapshot(kDate);
    for (double age : {60.0, 360.0, 86400.0}) {
        WidgetStatusContent c = content(snapshot, kDate + age);
        EXPECT_EQ(c.number(WidgetMetric::cpuTemperature), "58") << age;
        EXPECT_EQ(c.number(WidgetMetric::cpuUsage), "12") << age;  // 12.5 rounds to even
        EXPECT_EQ(c.number(WidgetMetric::fan), "2400") << age;
        EXPECT_EQ(c.number(WidgetMetric::storageTemperature), "—") << age;
    }
    for (double date : {kDate + 86401, kDate - 121}) {
        WidgetStatusContent stale = content(snapshot, date);
        for (WidgetMetric metric : allWidgetMetrics) EXPECT_EQ(stale.number(metric), "—");
        EXPECT_EQ(stale.statusLabel(), "等待状态数据");
        EXPECT_EQ(stale.modeText(), "打开Kilnview开始监测");
    }
    WidgetStatusContent none = content(std::nullopt, kDate);
    for (WidgetMetric metric : allWidgetMetrics) EXPECT_EQ(none.number(metric), "—");
    EXPECT_EQ(none.language(), "system");
}

TEST(WidgetStatusContentFigures, TitlesAndUnits) {
    EXPECT_EQ(WidgetStatusContent::title(WidgetMetric::cpuTemperature), "CPU 温度");
    EXPECT_EQ(WidgetStatusContent::title(WidgetMetric::cpuUsage), "CPU 使用率");
    EXPECT_EQ(WidgetStatusContent::title(WidgetMetric::fan), "风扇转速");
    EXPECT_EQ(WidgetStatusContent::unit(WidgetMetric::gpuTemperature), "°");
    EXPECT_EQ(WidgetStatusContent::unit(WidgetMetric::cpuUsage), "%");
    EXPECT_EQ(WidgetStatusContent::unit(WidgetMetric::fan), "");
}

TEST(WidgetStatusContentFigures, TemperatureOfAnAbsentValueIsADash) {
    EXPECT_EQ(WidgetStatusContent::temperature(std::nullopt), "—°C");
    EXPECT_EQ(WidgetStatusContent::temperature(58.4), "58°C");
    EXPECT_EQ(WidgetStatusContent::temperature(0), "0°C");
}

TEST(WidgetStatusContentFigures, FanTextShowsIdSpeedAndControlState) {
    WidgetStatusContent chinese = content(sampleSnapshot(), kDate);
    EXPECT_EQ(chinese.fanText(WidgetFan(0, std::nullopt, std::nullopt, std::nullopt)),
              "风扇 1 · — · 未知");
    EXPECT_EQ(chinese.fanText(WidgetFan(1, 2399.6, 6000, false)), "风扇 2 · 2400 · 自动");
    WidgetStatusContent english = content(sampleSnapshot(), kDate, "en");
    EXPECT_EQ(english.fanText(WidgetFan(2, 1800, 6000, true)), "Fan 3 · 1800 · Manual");
    WidgetStatusContent taiwan = content(sampleSnapshot(), kDate, "zh-TW");
    EXPECT_EQ(taiwan.fanText(WidgetFan(0, 1800, 6000, true)), "風扇 1 · 1800 · 手動");
}

TEST(WidgetStatusContentLabels, StatusAndFooterFollowFreshnessAndSize) {
    WidgetSnapshot snapshot = sampleSnapshot();
    EXPECT_EQ(content(snapshot, kDate + 10).statusLabel(), "最近状态");
    EXPECT_EQ(content(snapshot, kDate + 400).statusLabel(), "最近状态");
    snapshot.running = false;
    EXPECT_EQ(content(snapshot, kDate + 10).statusLabel(), "监测已暂停");
    EXPECT_EQ(content(std::nullopt, kDate).statusLabel(),
              "Waiting for status data");  // "system" → en here
    EXPECT_EQ(content(snapshot, kDate, "ja").statusLabel(), "監視は一時停止中");
    EXPECT_EQ(content(snapshot, kDate, "zh-Hans", WidgetCardSize::small).footerLabel(),
              "监测已暂停");
    EXPECT_EQ(content(snapshot, kDate, "zh-Hans", WidgetCardSize::large).footerLabel(), "采样时间");
    EXPECT_EQ(content(sampleSnapshot(), kDate, "de").modeText(), "Ausgewogen");
    EXPECT_EQ(content(sampleSnapshot(), kDate, "fr").turboText(), "Turbo activé");
}

TEST(WidgetStatusContentTrend, UpperEndAndPointsFollowTheSnapshot) {
    WidgetSnapshot snapshot = sampleSnapshot();
    WidgetStatusContent c = content(snapshot, kDate + 30);
    EXPECT_EQ(c.trend(WidgetMetric::cpuTemperature).upper, 130);
    EXPECT_EQ(c.trend(WidgetMetric::cpuUsage).upper, 100);
    EXPECT_EQ(c.trend(WidgetMetric::fan).upper, 6000);
    EXPECT_EQ(c.trend(WidgetMetric::cpuUsage).end, kDate);
    EXPECT_EQ(c.trend(WidgetMetric::cpuUsage).points, snapshot.trends.at("cpuUsage"));
    EXPECT_EQ(c.trend(WidgetMetric::cpuUsage).color, WidgetColor::trend());

    snapshot.fans = {WidgetFan(0, 7200, 7500, false)};
    EXPECT_EQ(content(snapshot, kDate).trend(WidgetMetric::fan).upper, 7200);
    EXPECT_EQ(content(snapshot, kDate + 86401).trend(WidgetMetric::fan).upper,
              6000);  // unavailable
    WidgetTrend empty = content(std::nullopt, kDate + 5).trend(WidgetMetric::fan);
    EXPECT_EQ(empty.end, kDate + 5);
    EXPECT_TRUE(empty.points.empty());
}

TEST(WidgetCardRendererTest, LinksOnlyWithAUsableSchemeAndEnabledLinks) {
    WidgetStatusContent c = content(sampleSnapshot(), kDate, "en", WidgetCardSize::small);
    c.linksEnabled = true;
    WidgetCardRenderer::Options options;
    options.widgetURL = "pyrelle://overview";
    std::string linked = WidgetCardRenderer::svg(c, options);
    EXPECT_NE(linked.find("href=\"pyrelle://metric/cpuTemperature\""), std::string::npos);
    EXPECT_NE(linked.find("href=\"pyrelle://overview\""), std::string::npos);
    options.scheme = "not a scheme";
    EXPECT_EQ(WidgetCardRenderer::svg(c, options).find("<a "), std::string::npos);
    c.linksEnabled = false;
    options.scheme = "pyrelle";
    EXPECT_EQ(WidgetCardRenderer::svg(c, options).find("<a "), std::string::npos);
}

TEST(WidgetCardRendererTest, ApplicationTextsCannotInjectMarkup) {
    WidgetSnapshot snapshot = sampleSnapshot();
    snapshot.mode = "</text><script>alert(1)</script>&\x01\x1F";
    snapshot.turbo = "\"'><";
    WidgetStatusContent c = content(snapshot, kDate, "en", WidgetCardSize::large);
    std::string svg = WidgetCardRenderer::svg(c);
    EXPECT_EQ(svg.find("<script"), std::string::npos);
    EXPECT_NE(svg.find("&lt;/text&gt;&lt;script&gt;"), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
    EXPECT_EQ(svg.find("\"'><"), std::string::npos);
}

// The first match of `pattern`'s group in `svg`, or "" when there is none.
std::string first(const std::string& svg, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(svg, match, std::regex(pattern)) ? match[1].str() : std::string();
}

// One entry of the timeline as the medium card draws it, by freshness at the entry's date.
struct FreshnessRow {
    const char* name;
    bool running;
    double age;          // entry date − snapshot date, seconds
    bool values;         // figures shown
    const char* status;  // the header's label
    const char* colour;  // its class: "secondary" only while recent
    const char* footer;  // the footer's relative time
};

void PrintTo(const FreshnessRow& row, std::ostream* out) {
    *out << row.name;
}

class CardFreshness : public ::testing::TestWithParam<FreshnessRow> {};

TEST_P(CardFreshness, FiguresStatusColourAndRelativeTimeFollowTheEntryDate) {
    const FreshnessRow& row = GetParam();
    WidgetSnapshot snapshot = sampleSnapshot(kDate);
    snapshot.running = row.running;
    std::string svg = WidgetCardRenderer::svg(content(snapshot, kDate + row.age, "en"));
    EXPECT_EQ(texts(svg, "figure")[0], row.values ? "58°" : "—°");
    EXPECT_EQ(texts(svg, "status"), std::vector<std::string>{row.status});
    EXPECT_EQ(first(svg, "class=\"status (\\w+)\""), row.colour);
    EXPECT_EQ(texts(svg, "footer-time"), std::vector<std::string>{row.footer});
}

INSTANTIATE_TEST_SUITE_P(
    Timeline, CardFreshness,
    ::testing::Values(FreshnessRow{"recentAtFiveMinutes", true, 300, true, "Latest status",
                                   "secondary", "5 min. ago"},
                      FreshnessRow{"previous", true, 301, true, "Latest status", "attention",
                                   "5 min. ago"},
                      FreshnessRow{"pausedJustNow", false, 30, true, "Monitoring paused",
                                   "attention", "30 sec. ago"},
                      FreshnessRow{"pausedForADay", false, 86400, true, "Monitoring paused",
                                   "attention", "1 day ago"},
                      FreshnessRow{"tooOld", true, 86401, false, "Waiting for status data",
                                   "attention", "1 day ago"},
                      FreshnessRow{"tooFarAhead", false, -121, false, "Waiting for status data",
                                   "attention", "In 2 min."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CardFreshness, WithoutASnapshotTheStatusIsOrangeAndTheTimeADash) {
    std::string svg = WidgetCardRenderer::svg(content(std::nullopt, kDate, "en"));
    EXPECT_EQ(first(svg, "class=\"status (\\w+)\""), "attention");
    EXPECT_EQ(texts(svg, "footer-time"), std::vector<std::string>{"—"});
}

// Every card of a snapshot in every size, concatenated.
std::string allCards(const std::optional<WidgetSnapshot>& snapshot, const std::string& language) {
    std::string out;
    for (WidgetCardSize size :
         {WidgetCardSize::small, WidgetCardSize::medium, WidgetCardSize::large}) {
        out += WidgetCardRenderer::svg(content(snapshot, kDate + 30, language, size));
    }
    return out;
}

TEST(WidgetCardRendererTest, DocumentsAreTheSameUnderADecimalCommaLocale) {
    const std::string plain = allCards(sampleSnapshot(), "de");
    ASSERT_NE(plain.find("font-size=\"9.5\""), std::string::npos);  // fractions are written
    std::string previous = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/bootstrap debug generates it)";
    }
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    const std::string german = allCards(sampleSnapshot(), "de");
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(german, plain);
}

// WCAG 2 contrast ratio of two opaque sRGB colours.
double contrast(const WidgetColor& a, const WidgetColor& b) {
    auto luminance = [](const WidgetColor& c) {
        auto linear = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.red) + 0.7152 * linear(c.green) + 0.0722 * linear(c.blue);
    };
    double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

TEST(WidgetCardRendererTest, SecondaryAndAttentionTextsReachAAContrastInBothAppearances) {
    std::string svg = allCards(sampleSnapshot(), "en");
    for (const WidgetCardRenderer::Palette& p :
         {WidgetCardRenderer::Palette::light(), WidgetCardRenderer::Palette::dark()}) {
        EXPECT_GE(contrast(p.secondary, p.background), 4.5);
        EXPECT_GE(contrast(p.secondary, p.tile), 4.5);
        EXPECT_GE(contrast(p.attention, p.background), 4.5);
        // The cards are drawn in exactly these colours, tiles opaque.
        EXPECT_NE(svg.find(".tile { fill: " + p.tile.hex() + "; }"), std::string::npos);
        EXPECT_NE(svg.find("text.secondary, tspan.secondary { fill: " + p.secondary.hex()),
                  std::string::npos);
        EXPECT_NE(svg.find("text.attention { fill: " + p.attention.hex()), std::string::npos);
    }
}

TEST(WidgetFontTest, WidthsFollowTheFaceCJKFullWidthLatinByLetter) {
    WidgetFont chinese = WidgetFont::forLanguage("zh", "Hans");
    WidgetFont latin = WidgetFont::forLanguage("en", "");
    EXPECT_NEAR(chinese.width("风扇转速", 10), 40, 1e-9);
    EXPECT_NEAR(latin.width("CPU Temperature", 1), 8.346, 1e-9);
    EXPECT_NEAR(latin.width("e\u0301\u202E\u200D", 1), latin.width("e", 1), 1e-9);
    for (const char* text :
         {"Open Kilnview to start monitoring", "风扇转速风扇转速", "a b c d e f g h i j k"}) {
        for (double room : {10.0, 33.3, 60.0}) {
            std::string cut = latin.fit(text, room, 10);
            EXPECT_LE(latin.width(cut, 10), room + 1e-9) << text << " in " << room;
            EXPECT_EQ(cut.substr(cut.size() - 3), "…");
            EXPECT_NE(cut[cut.size() - 4], ' ');
        }
    }
}

struct FitRow {
    const char* language;
    WidgetCardSize size;
    bool snapshot;
    const char* cls;
    const char* shown;  // the whole text, uncut
};

void PrintTo(const FitRow& row, std::ostream* out) {
    *out << row.language << " " << toText(row.size) << " " << row.cls;
}

class CardTextFits : public ::testing::TestWithParam<FitRow> {};

TEST_P(CardTextFits, TextsThatFitTheirRoomAreNotCut) {
    const FitRow& row = GetParam();
    std::optional<WidgetSnapshot> snapshot;
    if (row.snapshot) {
        snapshot = sampleSnapshot();
        snapshot->turbo = "不支持此处理器";
    }
    std::string svg =
        WidgetCardRenderer::svg(content(snapshot, kDate + 30, row.language, row.size));
    std::vector<std::string> shown = texts(svg, row.cls);
    EXPECT_NE(std::find(shown.begin(), shown.end(), row.shown), shown.end())
        << ::testing::PrintToString(shown);
    // Every text keeps its spaces as written.
    EXPECT_EQ(svg.find("<text "), svg.find("<text xml:space=\"preserve\" "));
}

INSTANTIATE_TEST_SUITE_P(
    Cards, CardTextFits,
    ::testing::Values(
        FitRow{"en", WidgetCardSize::medium, true, "title", "CPU Temperature"},
        FitRow{"fr", WidgetCardSize::medium, true, "title", "Vitesse ventilateur"},
        FitRow{"en", WidgetCardSize::medium, true, "turbo",
               "Turbo Boost · Not supported on this processor"},
        FitRow{"en", WidgetCardSize::small, false, "mode", "Open Kilnview to start monitoring"},
        FitRow{"zh-Hans", WidgetCardSize::small, true, "footer", "最近状态 · 30秒前"}));

}  // namespace
}  // namespace pyrelle
