// Card content: figures, absent values, fan lines, status labels and the trends the cards draw.
#include <gtest/gtest.h>

#include "WidgetTestSupport.hpp"
#include "pyrelle/widget/WidgetCardRenderer.hpp"
#include "pyrelle/widget/WidgetStatusContent.hpp"

namespace pyrelle {
namespace {

using widget_test::sampleSnapshot;
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

}  // namespace
}  // namespace pyrelle
