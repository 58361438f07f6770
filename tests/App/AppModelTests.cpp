// Kilnview's model side: what it records from a stream of samples (histories with gaps, the
// CSV export, the compact history record, per-application grouping), the sampling loop's
// timing under a fake clock, the request checks and the language choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Model/AppState.hpp"
#include "Model/DeviceWatch.hpp"
#include "Model/SamplingLoop.hpp"
#include "Model/SensorTrails.hpp"
#include "Publish/StatusPublisher.hpp"
#include "Web/AppText.hpp"
#include "Web/LiveState.hpp"
#include "Web/RequestGuard.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"
#include "support/FakeClock.hpp"

namespace {

using namespace kilnview;
using namespace pyrelle;

Snapshot sample(double at, double cpuTemperature, double usage, double fan0) {
    Snapshot s;
    s.date = Date(at);
    s.cpuUsage = usage;
    s.smcAvailable = true;
    s.totalCPUs = 8;
    s.sensors = {{"TC0P", "CPU proximity", cpuTemperature - 3},
                 {"TC1C", "CPU core 1", cpuTemperature},
                 {"TG0D", "GPU diode", cpuTemperature - 10},
                 {"TB0T", "Battery", 30},
                 {"TH0a", "SSD", 35}};
    s.fans = {{0, fan0, 1200, 5000, false, true}, {1, fan0 + 100, 1200, 5200, false, true}};
    return s;
}

TEST(AppState, RecordsHistoriesExportAndGapsFromAStreamOfSamples) {
    AppState state(SensorNamingPlatform::generic, Date(0));
    // 20 samples a second apart, a 60-second gap, then 10 more.
    for (int i = 0; i < 20; ++i)
        state.record(sample(1000 + i, 50 + i, 10 + i, 2000), std::nullopt, i, {});
    for (int i = 0; i < 10; ++i)
        state.record(sample(1080 + i, 70, 50, 2500), std::nullopt, 80 + i, {});

    const AppHistory history = state.history();
    ASSERT_EQ(history.cpuTemperature.size(), 30u);
    EXPECT_DOUBLE_EQ(*history.cpuTemperature[19].value, 69);  // the hottest TC sensor
    // The gap starts a new segment: the chart must not join across it.
    EXPECT_NE(history.cpuTemperature[19].segment, history.cpuTemperature[20].segment);
    EXPECT_EQ(history.cpuTemperature[18].segment, history.cpuTemperature[19].segment);
    ASSERT_EQ(history.fans.size(), 2u);
    EXPECT_DOUBLE_EQ(*history.fans.at(1).back().value, 2600);
    EXPECT_EQ(history.modes.back().mode, kAutomaticMode);

    const std::string csv = state.csv();
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = csv.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(csv.substr(start, end - start));
    ASSERT_EQ(lines.size(), 31u);  // header + one row per recorded sample
    EXPECT_EQ(lines[0].rfind("timestamp,cpu_percent,cpu_temperature_c", 0), 0u);
    // The compact record keeps the export's figures: 69 °C and both fans.
    EXPECT_NE(lines[20].find(",69.00,"), std::string::npos) << lines[20];
    EXPECT_NE(lines[20].find(",2000.00,2100.00"), std::string::npos) << lines[20];
    EXPECT_EQ(state.view().samples, 30);
}

// Every reading's five-minute trail from a jittery one-second stream: a reading that drops out
// breaks its own line, a pause breaks every line, and one gone for five minutes is forgotten.
TEST(SensorTrails, KeepsFiveMinutesOfEveryReadingWithItsBreaks) {
    SensorTrails trails;
    for (int i = 0; i < 400; ++i) {
        if (i >= 200 && i < 240) continue;  // the sampler paused (a sleep)
        Snapshot s = sample(i + 0.15 * (i % 3), 60, 10, 2000);
        std::erase_if(s.sensors, [&](const SensorReading& r) {
            return (r.key == "TB0T" && i >= 100 && i < 130) || (r.key == "TH0a" && i >= 50);
        });
        trails.record(s);
    }
    const auto all = trails.points();
    EXPECT_FALSE(all.contains("temperature:TH0a"));  // unseen for more than five minutes
    ASSERT_TRUE(all.contains("fan:F1Ac"));
    const auto& cpu = all.at("temperature:TC1C");
    ASSERT_FALSE(cpu.empty());
    EXPECT_LE(cpu.size(), 61u);
    EXPECT_LE(cpu.back().date.secondsSince(cpu.front().date), SensorTrails::span + 1e-9);
    for (std::size_t i = 1; i < cpu.size(); ++i) {
        const double step = cpu[i].date.secondsSince(cpu[i - 1].date);
        EXPECT_GE(step, 4.5);
        // Only the pause separates points by more than one spacing, and only it breaks the line.
        EXPECT_EQ(cpu[i].segment != cpu[i - 1].segment, step > SensorTrails::maximumGap) << i;
    }
    // The battery's line breaks where it was missing and joins again after.
    const auto& battery = all.at("temperature:TB0T");
    const auto missing = std::count_if(battery.begin(), battery.end(),
                                       [](const MetricPoint& p) { return !p.value; });
    EXPECT_GE(missing, 5);
    EXPECT_LE(missing, 7);
    EXPECT_EQ(battery.back().segment, battery[battery.size() - 2].segment);
}

TEST(AppState, CompactRecordKeepsEveryCategoryTemperature) {
    const Snapshot full = sample(1000, 80, 10, 2000);
    const Snapshot kept = AppState::compact(full);
    EXPECT_LT(kept.sensors.size(), full.sensors.size());
    EXPECT_EQ(kept.cpuTemperature(), full.cpuTemperature());
    for (SensorCategory category : allSensorCategories)
        EXPECT_EQ(kept.temperature(category), full.temperature(category)) << toText(category);
}

TEST(AppState, GroupsProcessesByApplicationName) {
    std::vector<ProcessReading> processes(3);
    processes[0] = {1, 0, 0, 1, "chrome", 50, 100, 10.0, 0.0};
    processes[1] = {2, 1, 0, 2, "chrome", 30, 100, std::nullopt, 0.0};
    processes[2] = {3, 0, 0, 3, "make", 80, 100, 1.0, 1.0};
    const auto sources = AppState::sources(processes);
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(sources[0].id, "chrome");
    EXPECT_DOUBLE_EQ(sources[0].cpu, 80);
    EXPECT_FALSE(sources[0].diskRate);  // one member's rate unknown: the sum is unknown
    EXPECT_DOUBLE_EQ(*sources[1].diskRate, 2);
}

TEST(SamplingLoop, KeepsItsScheduleAndNeverBurstsAfterAStall) {
    pyrelle::testing::FakeClock clock(100);
    AppState state(SensorNamingPlatform::generic, Date(0));
    int taken = 0;
    SamplingHooks hooks;
    hooks.sample = [&] {
        ++taken;
        if (taken == 5)
            clock.advance(30);  // the machine slept through a round
        else
            clock.advance(0.2);  // each sample costs 0.2 s
        return sample(1000 + clock.now(), 50, 10, 2000);
    };
    std::vector<double> processTimes;
    hooks.processes = [&](double now) -> std::optional<std::vector<ProcessReading>> {
        processTimes.push_back(now);
        return std::nullopt;
    };
    hooks.processInterval = 2.5;
    hooks.clock = [&] { return clock.now(); };
    hooks.pause = [&](double seconds) { clock.pause(seconds); };
    hooks.stopping = [&] { return taken >= 10; };
    EXPECT_EQ(runSamplingLoop(state, hooks, 1.0), 10);
    // Processes every third round (2.5 s apart at least), the stall counting as time passed.
    const std::vector<double> expected = {100.2, 103.2, 134, 137.2};
    ASSERT_EQ(processTimes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(processTimes[i], expected[i], 1e-9);
    // One sample per second of fake time; after the stalled round the schedule starts afresh
    // from its end (no burst of catch-up samples): 4 rounds, the stall, 4 paced rounds and
    // the last sample's cost.
    EXPECT_NEAR(clock.now(), 100 + 4 + 30 + 4 + 0.2, 1e-9);
    EXPECT_EQ(state.samples(), 10);
}

// A device that goes silent for a while, as the sampler sees it: a connection that failed
// once stays failed until reconnected; a stalled device costs each sample the exchange
// timeout, a dropped connection or a restarting device fails at once.
enum class Outage { drop, stall, restart, absent };
struct OutageCase {
    const char* name;
    Outage kind;
    double seconds;  // how long the device does not answer (from t = 10)
};

class DeviceOutage : public ::testing::TestWithParam<OutageCase> {};

TEST_P(DeviceOutage, ReconnectsWithBoundedBackoffAndReadsAgainWithinFiveSeconds) {
    const OutageCase c = GetParam();
    pyrelle::testing::FakeClock clock(0);
    AppState state(SensorNamingPlatform::generic, Date(0));
    constexpr double start = 10, timeout = 2, interval = 1;
    const double back = c.kind == Outage::absent ? 1e9 : start + c.seconds;
    const double end = c.kind == Outage::absent ? 200 : back + 15;
    bool connected = c.kind != Outage::absent;
    bool dropped = false;
    std::vector<double> reconnects;
    std::optional<double> firstAnswerAfter, silentSeen;
    std::optional<Date> lastAnswerBefore;
    SamplingHooks hooks;
    hooks.sample = [&] {
        const double now = clock.now();
        const bool silent =
            c.kind == Outage::drop ? (now >= start && !dropped) : (now >= start && now < back);
        if (c.kind == Outage::drop && silent) dropped = true;  // the one request it drops
        if (!connected || silent) {
            connected = false;
            clock.advance(c.kind == Outage::stall && silent ? timeout : 0.01);
            Snapshot nothing;
            nothing.date = Date(now);
            return nothing;
        }
        clock.advance(0.05);
        if (now >= start && !firstAnswerAfter) firstAnswerAfter = now;
        if (now < start) lastAnswerBefore = Date(now);
        return sample(now, 50, 10, 2000);
    };
    hooks.reconnect = [&] {
        reconnects.push_back(clock.now());
        // A restarting device refuses connections until it is back.
        connected = c.kind != Outage::absent && !(c.kind == Outage::restart && clock.now() < back);
    };
    hooks.recorded = [&] {
        const DeviceStatus device = state.view().device;
        if (device.outage() && !silentSeen) {
            silentSeen = clock.now();
            EXPECT_EQ(device.silentSince, lastAnswerBefore);
        }
    };
    hooks.clock = [&] { return clock.now(); };
    hooks.pause = [&](double seconds) { clock.pause(seconds); };
    hooks.stopping = [&] { return clock.now() >= end; };
    runSamplingLoop(state, hooks, interval);

    ASSERT_FALSE(reconnects.empty());
    EXPECT_GE(reconnects.front(), c.kind == Outage::absent ? 0 : start);
    // Backoff: never twice within half a second, and never further apart than the longest
    // delay plus one silent sample.
    const double longest =
        c.kind == Outage::absent ? DeviceWatch::absentDelay : DeviceWatch::maximumDelay;
    for (std::size_t i = 1; i < reconnects.size(); ++i) {
        const double gap = reconnects[i] - reconnects[i - 1];
        EXPECT_GE(gap, DeviceWatch::firstDelay - 1e-9) << i;
        EXPECT_LE(gap, longest + timeout + 0.1) << i;
    }
    if (c.kind == Outage::absent) {
        EXPECT_FALSE(state.view().device.everAnswered);
        EXPECT_FALSE(state.view().device.outage());  // nothing was ever there to lose
        EXPECT_LE(reconnects.size(), 12u);
        return;
    }
    ASSERT_TRUE(firstAnswerAfter);
    EXPECT_LE(*firstAnswerAfter - std::max(back, start), 5.0);
    EXPECT_TRUE(silentSeen);
    EXPECT_TRUE(state.view().device.answering);
    // The history shows the outage as a gap, not as the last value carried on.
    const auto history = state.history();
    const auto silentPoint =
        std::find_if(history.cpuTemperature.begin(), history.cpuTemperature.end(),
                     [](const MetricPoint& p) { return !p.value; });
    ASSERT_NE(silentPoint, history.cpuTemperature.end());
    EXPECT_GE(silentPoint->date.secondsSinceReferenceDate(), start);
    EXPECT_TRUE(history.cpuTemperature.back().value);
}

INSTANTIATE_TEST_SUITE_P(Outages, DeviceOutage,
                         ::testing::Values(OutageCase{"drop", Outage::drop, 0},
                                           OutageCase{"stall6", Outage::stall, 6},
                                           OutageCase{"stall12", Outage::stall, 12},
                                           OutageCase{"restart", Outage::restart, 8},
                                           OutageCase{"longStall", Outage::stall, 90},
                                           OutageCase{"absent", Outage::absent, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Sleep blockers are never listed here: a machine that lacks nothing else settles as
// "stable"; one that lacks a figure this machine can have stays "partial", named.
TEST(AppState, OnlyFiguresThePlatformCanProvideKeepTheDataIncomplete) {
    ProcessReading idle;
    idle.pid = 1;
    idle.name = "idle";
    idle.cpu = 1;
    for (const bool withSpeedLimit : {true, false}) {
        AppState state(SensorNamingPlatform::generic, Date(0));
        for (int i = 0; i < 60; ++i) {
            Snapshot s = sample(i, 50, 10, 2000);
            if (withSpeedLimit) s.speedLimit = 100;
            s.schedulerLimit = 100;
            s.availableCPUs = 8;
            s.memoryPressure = MemoryPressure::normal;
            state.record(s, std::vector<ProcessReading>{idle}, i, SystemTelemetry{});
        }
        const AppView view = state.view();
        const bool unavailable = std::any_of(
            view.report.findings.begin(), view.report.findings.end(),
            [](const DiagnosticFinding& f) { return f.kind == DiagnosticKind::unavailable; });
        SCOPED_TRACE(withSpeedLimit);
        EXPECT_EQ(view.report.state,
                  withSpeedLimit ? DiagnosticState::stable : DiagnosticState::partial);
        EXPECT_EQ(unavailable, !withSpeedLimit);
        EXPECT_EQ(view.missing, withSpeedLimit
                                    ? std::vector<DiagnosticFigure>{}
                                    : std::vector<DiagnosticFigure>{DiagnosticFigure::speedLimit});
        // The finding names the figure and says that nothing helps.
        const WidgetStrings strings;
        const nlohmann::json findings = liveState(view, AppText(strings, "zh-Hans"))["findings"];
        if (!withSpeedLimit) {
            ASSERT_EQ(findings.size(), 1u) << findings.dump();
            EXPECT_EQ(findings[0]["detail"], "缺少: 速度上限");
            EXPECT_EQ(findings[0]["action"], "此机器不提供这些数据，刷新也无济于事");
        }
    }
}

struct HostCase {
    const char* host;
    bool loopback;
};

class LoopbackHost : public ::testing::TestWithParam<HostCase> {};

TEST_P(LoopbackHost, OnlyLoopbackNamesPass) {
    EXPECT_EQ(RequestGuard::isLoopbackHost(GetParam().host), GetParam().loopback)
        << GetParam().host;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, LoopbackHost,
    ::testing::Values(HostCase{"127.0.0.1", true}, HostCase{"127.0.0.1:8742", true},
                      HostCase{"localhost:0", true}, HostCase{"LocalHost:80", true},
                      HostCase{"[::1]:8742", true}, HostCase{"[::1]", true}, HostCase{"", false},
                      HostCase{"evil.example", false}, HostCase{"127.0.0.1.evil.example", false},
                      HostCase{"localhost.evil:80", false}, HostCase{"localhost:", false},
                      HostCase{"localhost:99999", false}, HostCase{"127.0.0.1:80@evil", false},
                      HostCase{"[::1]x", false}, HostCase{"192.168.1.10:8742", false}));

struct CurveCase {
    const char* body;
    const char* error;  // nullptr: accepted
};

class CurveBody : public ::testing::TestWithParam<CurveCase> {};

constexpr const char* kPoints =
    R"("points":[{"temperature":40,"percent":20},{"temperature":85,"percent":100}],"sensor":"CPU")";

TEST_P(CurveBody, ReachesTheHelperOnlyWhenValid) {
    const CurveCase& c = GetParam();
    if (c.error == nullptr) {
        const ControlRequest request = RequestGuard::curveRequest(c.body);
        EXPECT_EQ(request.command, "profile");
        EXPECT_EQ(request.profile, "custom");
        ASSERT_TRUE(request.curve);
        EXPECT_EQ(request.curve->points.size(), 2u);
        return;
    }
    try {
        RequestGuard::curveRequest(c.body);
        FAIL() << "accepted " << c.body;
    } catch (const ScopeError& error) {
        EXPECT_EQ(std::string(error.what()), c.error) << c.body;
    }
}

const std::string kGood = std::string(R"({"curve":{)") + kPoints + "}}";
const std::string kGoodFull =
    std::string(R"({"curve":{)") + kPoints + R"(},"durationSeconds":600,"label":"夜间")" + "}";
const std::string kZero = std::string(R"({"curve":{)") + kPoints + R"(},"durationSeconds":0})";
const std::string kLong = std::string(R"({"curve":{)") + kPoints + R"(},"durationSeconds":1801})";
const std::string kText = std::string(R"({"curve":{)") + kPoints + R"(},"durationSeconds":"600"})";
const std::string kLabel =
    std::string(R"({"curve":{)") + kPoints + R"(},"label":")" + std::string(27 * 3, 'a') + R"("})";
const std::string kFlat =
    R"({"curve":{"points":[{"temperature":40,"percent":20}],"sensor":"CPU"}})";

INSTANTIATE_TEST_SUITE_P(Bodies, CurveBody,
                         ::testing::Values(CurveCase{kGood.c_str(), nullptr},
                                           CurveCase{kGoodFull.c_str(), nullptr},
                                           CurveCase{"{", "请求不是有效的 JSON"},
                                           CurveCase{"[1]", "请求必须是 JSON 对象"},
                                           CurveCase{"{}", "缺少曲线"},
                                           CurveCase{kZero.c_str(), "无效控制时长"},
                                           CurveCase{kLong.c_str(), "无效控制时长"},
                                           CurveCase{kText.c_str(), "无效控制时长"},
                                           CurveCase{kLabel.c_str(), "模式名称过长"},
                                           CurveCase{kFlat.c_str(), "曲线需要 2 至 8 个控制点"}));

TEST(Language, PrecedenceIsQueryCookieHeaderThenLocale) {
    const std::vector<std::string> locale = {"de-DE"};
    EXPECT_EQ(resolveLanguage("ja", "fr", "ko", locale), "ja");
    EXPECT_EQ(resolveLanguage("xx", "fr", "ko", locale), "fr");
    EXPECT_EQ(resolveLanguage("", "", "es;q=0.5, zh-TW;q=0.9, en", locale), "en");
    EXPECT_EQ(resolveLanguage("", "", "es;q=0.5, zh-TW;q=0.9", locale), "zh-Hant");
    EXPECT_EQ(resolveLanguage("", "", "sv, nb", locale), "de");
    EXPECT_EQ(resolveLanguage("", "", "zh-CN,zh;q=0.9", {}), "zh-Hans");
    // A language outside the offered ones falls to the locale, then to English.
    EXPECT_EQ(resolveLanguage("", "", "pt-BR, pt;q=0.8", locale), "de");
    EXPECT_EQ(resolveLanguage("", "", "pt-BR, pt;q=0.8", {"C"}), "en");
    EXPECT_EQ(resolveLanguage("", "", "", {}), "en");
}

TEST(StatusPublisher, WritesChangesAtOnceAndAnUnchangedStateOnceAMinute) {
    char pattern[] = "/tmp/kilnview-status-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path file = std::filesystem::path(pattern) / "status.json";
    AppState state(SensorNamingPlatform::generic, Date(0));
    StatusPublisher publisher(file);
    std::vector<bool> writes;
    for (int i = 0; i < 70; ++i) {
        state.record(sample(1000 + i, i < 65 ? 50 : 60, 10, 2000), std::nullopt, i, {});
        writes.push_back(publisher.publish(
            state.view(), [&] { return state.history(); }, "system"));
    }
    EXPECT_TRUE(writes[0]);
    EXPECT_FALSE(writes[1]);
    EXPECT_TRUE(writes[60]);  // unchanged, a minute after the first write
    EXPECT_TRUE(writes[65]);  // the CPU temperature changed
    EXPECT_EQ(std::count(writes.begin(), writes.end(), true), 3);
    const auto written = WidgetStorage::read(file);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->cpuTemperature, 60);
    EXPECT_EQ(written->mode, kAutomaticMode);
    EXPECT_FALSE(written->trends.at("cpuTemperature").empty());
    std::filesystem::remove_all(pattern);
}

}  // namespace
