// The pages' deeper parts without a server: the curve editor's check (the core's rules, tied
// to the point at fault), the curve shown as running, the history charts' window, gap markers
// and text alternatives, and the processes and power pages' honesty about what is known.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "Web/CurveEditor.hpp"
#include "Web/HistoryCharts.hpp"
#include "Web/Pages.hpp"

namespace {

using namespace kilnview;
using namespace pyrelle;
using Json = nlohmann::json;

const WidgetStrings kStrings{WidgetStrings::Table{{"温度", {{"en", "Temperature"}}}}, {}};
const AppText kText{kStrings, "zh-Hans"};

std::size_t count(const std::string& text, const std::string& needle) {
    std::size_t found = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++found;
    return found;
}

struct CheckCase {
    const char* name;
    std::string body;
    bool ok;
    std::string field;  // empty when ok
    int point;          // -1: none
    std::string message;
};

class CurveCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CurveCheck, AnswersWithTheCoreRuleAtThePointItConcerns) {
    const CheckCase& c = GetParam();
    const Json answer = CurveEditor::check(c.body, kText);
    EXPECT_EQ(answer["ok"], c.ok) << answer.dump();
    if (c.ok) return;
    EXPECT_EQ(answer["field"], c.field) << answer.dump();
    EXPECT_EQ(answer["point"].is_null() ? -1 : answer["point"].get<int>(), c.point)
        << answer.dump();
    if (!c.message.empty()) {
        EXPECT_EQ(answer["message"], c.message);
    }
}

std::string body(const std::string& points, const std::string& extra = "") {
    return R"({"curve":{"sensor":"CPU","points":[)" + points + "]}" + extra + "}";
}

const std::string kBalanced =
    R"({"temperature":40,"percent":10},{"temperature":55,"percent":25},{"temperature":70,"percent":55},{"temperature":80,"percent":80},{"temperature":90,"percent":100})";

INSTANTIATE_TEST_SUITE_P(
    Drags, CurveCheck,
    ::testing::Values(
        CheckCase{"Valid", body(kBalanced, R"(,"durationSeconds":600)"), true, "", -1, ""},
        CheckCase{
            "SecondDraggedBelowFirst",
            body(
                R"({"temperature":40,"percent":10},{"temperature":55,"percent":0},{"temperature":90,"percent":100})"),
            false, "curve", 1, "温度控制点至少间隔 2°C，转速必须随温度升高而不降低"},
        CheckCase{
            "DraggedOntoItsNeighbour",
            body(
                R"({"temperature":40,"percent":10},{"temperature":60,"percent":20},{"temperature":61,"percent":30},{"temperature":90,"percent":100})"),
            false, "curve", 2, ""},
        CheckCase{"LastDraggedDown",
                  body(R"({"temperature":40,"percent":10},{"temperature":90,"percent":90})"), false,
                  "curve", 1, "最后一个点必须在 90°C 或更低达到 100% 转速"},
        CheckCase{"FirstOutOfRange",
                  body(R"({"temperature":20,"percent":10},{"temperature":90,"percent":100})"),
                  false, "curve", 0, "曲线温度范围为 30–100°C，转速范围为 0–100%"},
        CheckCase{"OnePointLeft", body(R"({"temperature":90,"percent":100})"), false, "curve", -1,
                  "曲线需要 2 至 8 个控制点"},
        CheckCase{"DurationTooLong", body(kBalanced, R"(,"durationSeconds":1801)"), false,
                  "duration", -1, ""},
        CheckCase{"DurationNotANumber", body(kBalanced, R"(,"durationSeconds":"ten")"), false,
                  "duration", -1, ""},
        CheckCase{"PointNotAnObject", body(R"(1,2)"), false, "curve", -1, ""},
        CheckCase{"NotJSON", "{", false, "request", -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CurveEditor, ShowsTheCurveItStartedOnlyWhileALeaseRuns) {
    CurveEditor::RunningCurve running;
    ControlRequest request;
    request.command = "profile";
    request.curve = FanCurve::quiet();
    request.label = "夜间";
    ControlView leased;
    leased.remainingSeconds = 100;
    EXPECT_FALSE(running.current(leased));
    running.started(request);
    ASSERT_TRUE(running.current(leased));
    const std::string page = Pages::fans({kText, "t"}, AppView{}, running.current(leased));
    EXPECT_NE(page.find("id=\"curve-running-line\""), std::string::npos);
    EXPECT_NE(page.find("夜间"), std::string::npos);
    EXPECT_FALSE(running.current(ControlView{})) << "the lease ended";
    EXPECT_FALSE(running.current(leased)) << "and stays forgotten";
    running.started(request);
    running.forget();
    EXPECT_FALSE(running.current(leased));
}

TEST(CurveEditor, EveryPointInputIsLabelledAndTheLimitsAreSaid) {
    AppView view;
    Snapshot snapshot;
    snapshot.fans = {{0, 2400, 1200, 5000, false, true}};
    view.latest = snapshot;
    const std::string page = Pages::fans({kText, "t"}, view);
    const std::regex input("<input type=\"number\" class=\"point-[a-z]+\"[^>]*>");
    std::size_t inputs = 0;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), input);
         it != std::sregex_iterator(); ++it) {
        ++inputs;
        EXPECT_NE(it->str().find("aria-label=\"控制点 "), std::string::npos) << it->str();
    }
    EXPECT_EQ(inputs, 2 * FanCurve::balanced().points.size());
    for (const char* rule : FanCurve::rules())
        EXPECT_NE(page.find(rule), std::string::npos) << rule;
    EXPECT_NE(page.find("1–1800"), std::string::npos);
    EXPECT_NE(page.find("1200 RPM – 5000 RPM"), std::string::npos) << "the fan's rated range";
    EXPECT_EQ(count(page, "class=\"handle\""), FanCurve::balanced().points.size());
}

TEST(CurveEditor, LiveFiguresGiveEachSensorAndEachFansPosition) {
    AppView view;
    Snapshot snapshot;
    snapshot.sensors = {{"TC0P", "CPU proximity", 60}, {"TG0D", "GPU diode", 70}};
    snapshot.fans = {{0, 3100, 1200, 5000, true, true}, {1, std::nullopt, 1200, 5000, true, true}};
    view.latest = snapshot;
    const Json live = CurveEditor::live(view);
    EXPECT_DOUBLE_EQ(live["temperatures"]["CPU / GPU 较高温"].get<double>(),
                     live["temperatures"]["GPU"].get<double>());
    ASSERT_EQ(live["fans"].size(), 1u) << "a fan without a speed has no position";
    EXPECT_NEAR(live["fans"][0]["percent"].get<double>(), 50, 1e-9);
}

// Samples each second from t0; `segments` switches segment at the listed indices; the
// `missing` indices have no value (the device did not answer).
std::vector<MetricPoint> series(double t0, int n, std::vector<int> breaks, std::vector<int> missing,
                                double base) {
    std::vector<MetricPoint> points;
    std::int64_t segment = 0;
    for (int i = 0; i < n; ++i) {
        if (std::find(breaks.begin(), breaks.end(), i) != breaks.end()) ++segment;
        const bool absent = std::find(missing.begin(), missing.end(), i) != missing.end();
        if (absent) ++segment;
        points.push_back(
            {Date(t0 + i), absent ? std::nullopt : std::optional<double>(base + i % 7), segment});
    }
    return points;
}

TEST(HistoryCharts, FitTheWindowMarkBreaksAndSayEachSeriesFigures) {
    AppHistory history;
    // 150 s of record: a pause between 60 and 61, and an outage from 120 on.
    std::vector<int> outage;
    for (int i = 120; i < 150; ++i) outage.push_back(i);
    history.cpuTemperature = series(1000, 150, {61}, outage, 50);
    history.gpuTemperature = series(1000, 150, {}, {}, 40);
    history.cpuUsage = series(1000, 150, {}, {}, 10);
    history.end = Date(1149);
    for (int minutes : {30, 5}) {
        const std::string html = HistoryCharts::charts(kText, history, minutes);
        // A young record fills the width rather than hugging the right edge.
        EXPECT_NE(html.find("data-seconds=\"180\""), std::string::npos) << minutes;
        const std::size_t temperature = html.find("id=\"chart-temperature\"");
        const std::size_t load = html.find("id=\"chart-load\"");
        ASSERT_LT(temperature, load);
        const std::string chart = html.substr(temperature, load - temperature);
        EXPECT_EQ(count(chart, "<line class=\"gap\""), 2u) << "the pause and the outage";
        EXPECT_EQ(count(chart, "<g class=\"data\""), 2u);
        EXPECT_NE(chart.find("</svg>CPU: 当前 "), std::string::npos) << "the last value held";
        EXPECT_NE(chart.find("最低 50.0 °C · 最高 56.0 °C"), std::string::npos);
        EXPECT_NE(chart.find("aria-describedby=\"summary-temperature\""), std::string::npos);
        EXPECT_NE(chart.find("分钟前"), std::string::npos);
    }
    EXPECT_EQ(HistoryCharts::window("5"), 5);
    EXPECT_EQ(HistoryCharts::window("7"), 30);
    // A record longer than the window is cut to it.
    history.cpuTemperature = series(0, 1150, {}, {}, 50);
    EXPECT_NE(HistoryCharts::charts(kText, history, 5).find("data-seconds=\"300\""),
              std::string::npos);
    history.common["cpu-die"] = series(1000, 150, {}, {}, 60);
    const Json lines = HistoryCharts::sparklines(history);
    for (const char* key : {"cpuTemperature", "gpuTemperature", "cpuUsage", "sensor-cpu-die"})
        EXPECT_NE(lines[key].get<std::string>().find("<path"), std::string::npos) << key;
}

TEST(Pages, UnknownDiskFiguresAreLeftOutWithTheReasonAndPowerValuesAreWords) {
    AppView view;
    ProcessReading process;
    process.pid = 42;
    process.name = "kiln";
    process.cpu = 150;
    view.topCPU = view.topMemory = view.topDisk = {process};
    const std::string unknown = Pages::processes({kText, "t"}, view);
    EXPECT_NE(unknown.find("id=\"disk-unknown\""), std::string::npos);
    EXPECT_EQ(unknown.find("id=\"top-disk\""), std::string::npos);
    EXPECT_EQ(unknown.find("<th data-type=\"number\">磁盘</th>"), std::string::npos);
    EXPECT_NE(unknown.find("150.0 %"), std::string::npos);
    process.diskReadRate = 10;
    process.diskWriteRate = 20;
    view.topCPU = view.topMemory = view.topDisk = {process};
    const std::string known = Pages::processes({kText, "t"}, view);
    EXPECT_EQ(known.find("id=\"disk-unknown\""), std::string::npos);
    EXPECT_NE(known.find("id=\"top-disk\""), std::string::npos);

    PowerConfiguration configuration;
    configuration.profiles[PowerSource::ac] = {{PowerSetting::lowpowermode, 1},
                                               {PowerSetting::displaysleep, 10},
                                               {PowerSetting::sleep, 0}};
    const std::string power =
        Pages::power({kText, "t"}, AppView{}, AppHistory{}, {configuration, ""});
    for (const char* words : {"<td>开启</td>", "<td>10 分钟</td>", "<td>从不</td>"})
        EXPECT_NE(power.find(words), std::string::npos) << words;
}

TEST(Pages, EveryPageCarriesTheLeaseBarAndItsScripts) {
    const Pages::PageContext context{kText, "t"};
    const AppView view;
    for (const std::string& page :
         {Pages::overview(context, view), Pages::sensors(context, view), Pages::fans(context, view),
          Pages::history(context, view, AppHistory{}), Pages::processes(context, view),
          Pages::power(context, view, AppHistory{}, {})}) {
        EXPECT_NE(page.find("id=\"lease-bar\""), std::string::npos);
        EXPECT_NE(page.find("id=\"lease-auto\""), std::string::npos);
        EXPECT_NE(page.find("/assets/control.js"), std::string::npos);
        EXPECT_NE(page.find("id=\"notify-toggle\""), std::string::npos);
    }
}

}  // namespace
