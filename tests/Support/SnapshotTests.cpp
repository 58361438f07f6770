#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "pyrelle/ScopeError.hpp"
#include "pyrelle/Snapshot.hpp"

using namespace pyrelle;
using nlohmann::json;

namespace {

Snapshot full() {
    Snapshot s;
    s.date = Date(818395802.25);
    s.cpuUsage = 42.5;
    s.sensors = {{"TC0P", "CPU 近端", 61.5}, {"TG0P", "GPU", 55}};
    s.fans = {{0, 2400.0, 1200.0, 6000.0, false, true},
              {1, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false}};
    s.speedLimit = 100;
    s.schedulerLimit = 100;
    s.availableCPUs = 8;
    s.totalCPUs = 8;
    s.thermalState = 1;
    s.thermalWarning = 0;
    s.turbo = TurboState::unsupported;
    s.acPower = true;
    s.lowPower = false;
    s.smcAvailable = true;
    s.memoryPressure = MemoryPressure::warning;
    s.additionalSensors =
        std::vector<HardwareSensorReading>{{"PSTR", "整机功耗", HardwareSensorKind::power, -20.0}};
    return s;
}

Snapshot withSensors(std::vector<SensorReading> sensors) {
    Snapshot s;
    s.sensors = std::move(sensors);
    return s;
}

Snapshot withLimits(std::optional<int> speed, std::optional<int> scheduler,
                    std::optional<int> available, int total = 8, int thermalState = 0,
                    std::optional<int> warning = std::nullopt) {
    Snapshot s;
    s.speedLimit = speed;
    s.schedulerLimit = scheduler;
    s.availableCPUs = available;
    s.totalCPUs = total;
    s.thermalState = thermalState;
    s.thermalWarning = warning;
    return s;
}

std::string decodeError(const json& document) {
    try {
        (void)document.get<Snapshot>();
    } catch (const ScopeError& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(SnapshotTemperatures, HottestSensorOfEachCategoryByCaseSensitivePrefix) {
    EXPECT_FALSE(withSensors({}).cpuTemperature());
    for (auto category : allSensorCategories) EXPECT_FALSE(withSensors({}).temperature(category));

    const auto s =
        withSensors({{"TC0F", "", 70}, {"TC0P", "", 65}, {"tc0X", "", 99}, {"TB0T", "", 30}});
    EXPECT_EQ(s.cpuTemperature(), 70);
    EXPECT_EQ(s.temperature(SensorCategory::cpu), 70);
    EXPECT_EQ(s.temperature(SensorCategory::other), 99);
    EXPECT_EQ(s.temperature(SensorCategory::battery), 30);
    EXPECT_FALSE(s.temperature(SensorCategory::gpu));
    EXPECT_EQ(sensorCategoryFor("TH0a"), SensorCategory::storage);
    EXPECT_EQ(sensorCategoryFor("T"), SensorCategory::other);
}

TEST(SnapshotLimits, TitlesAndAssessmentFollowTheLimits) {
    struct Case {
        Snapshot snapshot;
        bool known, limited;
        const char* title;
        const char* assessment;
    };
    const char* pressure =
        "系统性能上限下降，同时存在热压力信号；温控可能参与了限制。无法仅凭这些指标确定具体进程或硬"
        "件原因。";
    const char* noPressure =
        "系统报告了性能限制，但没有足够的热压力证据。供电、传感器或其他平台策略仍需排查，不能据此认"
        "定为过热或挖矿。";
    const char* normal =
        "目前没有检测到系统上限下降。睿频禁用状态单独显示；100% 上限不代表睿频一定开启。";
    const char* incomplete = "系统未提供完整限速数据，缺失值不能当作正常。";
    const Case cases[] = {
        {withLimits(100, 100, 8), true, false, "未检测到系统限速", normal},
        {withLimits(std::nullopt, 100, 8), false, false, "限速信息不完整", incomplete},
        {withLimits(80, 100, 8, 8, 1, 0), true, true, "系统正在限制性能", noPressure},
        {withLimits(100, 100, 6, 8), true, true, "系统正在限制性能", noPressure},
        {withLimits(80, std::nullopt, std::nullopt, 8, 2), false, true, "系统正在限制性能",
         pressure},
        {withLimits(100, 90, 8, 8, 0, 110), true, true, "系统正在限制性能", pressure},
        {withLimits(100, 90, 8, 8, 0, 7), true, true, "系统正在限制性能", noPressure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(c.snapshot.limitKnown(), c.known);
        EXPECT_EQ(c.snapshot.limited(), c.limited);
        EXPECT_EQ(c.snapshot.limitTitle(), c.title);
        EXPECT_EQ(c.snapshot.assessment(), c.assessment);
    }
}

TEST(SnapshotThermalTitle, KnownStatesAndUnknown) {
    const std::pair<int, const char*> cases[] = {{0, "正常"}, {1, "升温"}, {2, "较高"},
                                                 {3, "严重"}, {4, "未知"}, {-1, "未知"}};
    for (auto [state, text] : cases) {
        Snapshot s;
        s.thermalState = state;
        EXPECT_EQ(s.thermalTitle(), text);
    }
}

TEST(CPUCounters, WrappingDifferencesAndIdleIntervals) {
    const CPUCounters before{4294967290u, 100, 1000, 0};
    const CPUCounters after{10, 100, 1016, 0};
    EXPECT_DOUBLE_EQ(*after.usage(before), 50.0);  // 16 busy of 32 ticks across the wrap
    EXPECT_FALSE(after.usage(after));
    const CPUCounters busy{5, 5, 0, 10};
    EXPECT_DOUBLE_EQ(*busy.usage(CPUCounters{}), 100.0);
}

TEST(SnapshotEnumerations, TextsTitlesAndValues) {
    EXPECT_EQ(title(TurboState::disabledDriverLoaded), "禁用驱动已加载");
    EXPECT_EQ(title(TurboState::unsupported), "不支持此处理器");
    EXPECT_EQ(parseTurboState("driverNotLoaded"), TurboState::driverNotLoaded);
    EXPECT_FALSE(parseTurboState("Unknown"));
    for (int v : {0, 3, 5, -1}) EXPECT_FALSE(memoryPressureFromValue(v)) << v;
    EXPECT_EQ(memoryPressureFromValue(4), MemoryPressure::critical);
    EXPECT_EQ(title(MemoryPressure::warning), "偏高");
    EXPECT_EQ(toText(SensorCategory::storage), "存储");
    EXPECT_EQ(parseSensorCategory("其他"), SensorCategory::other);
}

TEST(SnapshotJSON, RoundTripKeepsEveryFieldAndOmitsAbsentOnes) {
    const auto s = full();
    const json encoded = s;
    EXPECT_EQ(encoded["turbo"], "unsupported");
    EXPECT_EQ(encoded["memoryPressure"], 2);
    EXPECT_EQ(encoded["date"], 818395802.25);
    EXPECT_FALSE(encoded["fans"][1].contains("rpm"));
    EXPECT_FALSE(encoded["fans"][1].contains("manual"));
    EXPECT_EQ(encoded.get<Snapshot>(), s);
    EXPECT_EQ(decodeSnapshot(encoded.dump()), s);

    Snapshot sparse;
    const json minimal = sparse;
    for (const char* key : {"cpuUsage", "speedLimit", "schedulerLimit", "availableCPUs",
                            "thermalWarning", "acPower", "memoryPressure", "additionalSensors"})
        EXPECT_FALSE(minimal.contains(key)) << key;
    EXPECT_EQ(minimal.get<Snapshot>(), sparse);
}

TEST(SnapshotJSON, NonFiniteOptionalNumbersAreLeftOutNotCorrupted) {
    auto s = full();
    s.cpuUsage = std::numeric_limits<double>::quiet_NaN();
    s.fans[0].rpm = std::numeric_limits<double>::infinity();
    const json encoded = s;
    EXPECT_FALSE(encoded.contains("cpuUsage"));
    EXPECT_FALSE(encoded["fans"][0].contains("rpm"));
    EXPECT_NO_THROW((void)decodeSnapshot(encoded.dump()));
}

TEST(SnapshotJSON, ProbeFormHasISODateSortedKeysAndDecodesBack) {
    auto s = full();
    s.date = Date::fromUnixTime(1796701802);  // 2026-12-08T03:50:02Z
    const auto text = encodeForProbe(s);
    EXPECT_NE(text.find("\"date\": \"2026-12-08T03:50:02Z\""), std::string::npos);
    EXPECT_LT(text.find("\"acPower\""), text.find("\"additionalSensors\""));
    EXPECT_LT(text.find("\"additionalSensors\""), text.find("\"availableCPUs\""));
    EXPECT_NE(text.find("\n  \"cpuUsage\""), std::string::npos);
    EXPECT_EQ(decodeSnapshot(text), s);
}

TEST(SnapshotJSON, ProbeFormSurvivesInvalidUTF8Labels) {
    auto s = full();
    s.sensors[0].label = std::string("bad\xff", 4);
    EXPECT_NO_THROW((void)encodeForProbe(s));
}

TEST(SnapshotJSON, DecodeFailuresNameTheProblem) {
    const json good = full();
    struct Case {
        const char* name;
        std::function<void(json&)> change;
        const char* expected;
    };
    const Case cases[] = {
        {"missing lowPower", [](json& j) { j.erase("lowPower"); }, "lowPower"},
        {"missing date", [](json& j) { j.erase("date"); }, "date"},
        {"missing sensors", [](json& j) { j.erase("sensors"); }, "sensors"},
        {"unknown turbo", [](json& j) { j["turbo"] = "fast"; }, "turbo"},
        {"turbo as number", [](json& j) { j["turbo"] = 1; }, "turbo"},
        {"pressure 3", [](json& j) { j["memoryPressure"] = 3; }, "memoryPressure"},
        {"pressure 0", [](json& j) { j["memoryPressure"] = 0; }, "memoryPressure"},
        {"bool as number", [](json& j) { j["lowPower"] = 1; }, "lowPower"},
        {"number as bool", [](json& j) { j["cpuUsage"] = true; }, "cpuUsage"},
        {"fractional integer", [](json& j) { j["speedLimit"] = 80.5; }, "speedLimit"},
        {"huge integer", [](json& j) { j["totalCPUs"] = 1e20; }, "totalCPUs"},
        {"sensor without key", [](json& j) { j["sensors"][0].erase("key"); }, "key"},
        {"fan manual as text", [](json& j) { j["fans"][0]["manual"] = "yes"; }, "manual"},
        {"bad date text", [](json& j) { j["date"] = "yesterday"; }, "日期"},
        {"not an object", [](json& j) { j = json::array(); }, "快照"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json document = good;
        c.change(document);
        const auto message = decodeError(document);
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    }
    EXPECT_THROW((void)decodeSnapshot("{not json"), ScopeError);
}

TEST(SnapshotJSON, OptionalKeysMayBeMissingOrNull) {
    json document = full();
    document.erase("additionalSensors");
    document.erase("memoryPressure");
    document["acPower"] = nullptr;
    const auto s = document.get<Snapshot>();
    EXPECT_FALSE(s.additionalSensors);
    EXPECT_FALSE(s.memoryPressure);
    EXPECT_FALSE(s.acPower);
    document["speedLimit"] = 80.0;  // an integral float is still an integer
    EXPECT_EQ(document.get<Snapshot>().speedLimit, 80);
}

TEST(SnapshotJSON, NonFiniteNumbersInAJSONValueNeverCrash) {
    json document = full();
    document["cpuUsage"] = std::numeric_limits<double>::quiet_NaN();
    document["speedLimit"] = std::numeric_limits<double>::infinity();
    EXPECT_THROW((void)document.get<Snapshot>(), ScopeError);
    document["speedLimit"] = 100;
    document["date"] = std::numeric_limits<double>::infinity();
    EXPECT_NO_THROW((void)document.get<Snapshot>());
}

TEST(HardwareSensorReadingJSON, ValueIsValidatedOnDecode) {
    const json document = {{"key", "VD0R"}, {"label", "v"}, {"kind", "voltage"}, {"value", -1}};
    const auto reading = document.get<HardwareSensorReading>();
    EXPECT_FALSE(reading.value);
    EXPECT_EQ(reading.id(), "voltage:VD0R");
    const json back = reading;
    EXPECT_FALSE(back.contains("value"));
    json unknownKind = document;
    unknownKind["kind"] = "humidity";
    EXPECT_THROW((void)unknownKind.get<HardwareSensorReading>(), ScopeError);
}

TEST(SnapshotNonFinite, UnreadableSensorNeitherWinsNorHidesARealReading) {
    pyrelle::Snapshot snapshot;
    snapshot.sensors = {{"TC0P", "CPU", std::nan("")},
                        {"TC1C", "Core", 95},
                        {"TG0P", "GPU", std::numeric_limits<double>::infinity()}};
    EXPECT_EQ(snapshot.cpuTemperature(), 95);
    EXPECT_EQ(snapshot.temperature(pyrelle::SensorCategory::gpu), std::nullopt);
}
