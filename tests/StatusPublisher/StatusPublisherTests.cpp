// The real PyrelleStatusPublisher on hand-written probe readings: the status file it writes
// is one the widget accepts, private to the user, and bad input never leaves a file behind.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "Widget/WidgetTestSupport.hpp"
#include "pyrelle/Date.hpp"
#include "pyrelle/widget/WidgetSnapshot.hpp"
#include "support/Subprocess.hpp"

namespace pyrelle {
namespace {

namespace fs = std::filesystem;
using testing::runProcess;
using widget_test::readText;
using widget_test::TemporaryDirectory;
using widget_test::writeText;

const fs::path kProgram =
    fs::path(PYRELLE_BINARY_DIR) / "tools/status-publisher/PyrelleStatusPublisher";

// A probe reading as `PyrelleHelper probe` prints it (ISO 8601 date, keys sorted).
std::string probe(const std::string& date, double cpu, double gpu, double usage, double rpm0,
                  double rpm1) {
    return R"({"cpuUsage": )" + std::to_string(usage) + R"(, "date": ")" + date + R"(",
  "fans": [
    {"controllable": true, "id": 0, "manual": false, "maximum": 6000, "minimum": 1200, "rpm": )" +
           std::to_string(rpm0) + R"(},
    {"controllable": true, "id": 1, "manual": false, "maximum": 6500, "minimum": 1200, "rpm": )" +
           std::to_string(rpm1) + R"(}],
  "lowPower": false,
  "sensors": [
    {"celsius": )" +
           std::to_string(cpu - 3) + R"(, "key": "TC1C", "label": "CPU 核心 1"},
    {"celsius": )" +
           std::to_string(cpu) + R"(, "key": "TC0P", "label": "CPU 近端"},
    {"celsius": )" +
           std::to_string(gpu) + R"(, "key": "TG0P", "label": "GPU 近端"}],
  "smcAvailable": true, "thermalState": 0, "totalCPUs": 12, "turbo": "unsupported"})";
}

class StatusPublisher : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kProgram)) GTEST_SKIP() << "PyrelleStatusPublisher is not built";
        writeText(dir_ / "a.json", probe("2026-12-08T05:00:00Z", 55.5, 48.0, 12.5, 1800, 1900));
        writeText(dir_ / "b.json", probe("2026-12-08T05:00:01Z", 61.0, 50.0, 80.0, 2400, 2300));
        status_ = dir_ / "support/status.json";
    }

    testing::ProcessResult publish(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), kProgram.string());
        return runProcess(arguments, {.timeoutSeconds = 20});
    }

    TemporaryDirectory dir_;
    fs::path status_;
};

TEST_F(StatusPublisher, WritesAPrivateStatusFileFromTheLastReadingWithTrendsOfTheSeries) {
    const auto result = publish({"--status", status_.string(), "--mode", "均衡",
                                 (dir_ / "a.json").string(), (dir_ / "b.json").string()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(status_.string()), std::string::npos);

    struct stat info {};
    ASSERT_EQ(::stat(status_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const WidgetSnapshot status = WidgetSnapshot::decode(readText(status_));
    const double last = Date::parseISO8601("2026-12-08T05:00:01Z")->secondsSinceReferenceDate();
    EXPECT_DOUBLE_EQ(status.date, last);
    EXPECT_EQ(status.cpuTemperature, 61.0);  // the hottest CPU sensor of the last reading
    EXPECT_EQ(status.gpuTemperature, 50.0);
    EXPECT_FALSE(status.storageTemperature.has_value());
    EXPECT_EQ(status.cpuUsage, 80.0);
    EXPECT_EQ(status.fans, (std::vector<WidgetFan>{WidgetFan(0, 2400, 6000, false),
                                                   WidgetFan(1, 2300, 6500, false)}));
    EXPECT_EQ(status.value(WidgetMetric::fan), 2400.0);
    EXPECT_EQ(status.mode, "均衡");
    EXPECT_EQ(status.turbo, "不支持此处理器");
    EXPECT_TRUE(status.running);
    EXPECT_EQ(status.freshness(last + 10), WidgetFreshness::recent);
    // One unbroken run per measured metric, oldest first; nothing for a sensor never seen.
    EXPECT_EQ(
        status.trends.at("cpuTemperature"),
        (std::vector<WidgetPoint>{WidgetPoint(last - 1, 55.5, 0), WidgetPoint(last, 61.0, 0)}));
    EXPECT_EQ(status.trends.at("fan"), (std::vector<WidgetPoint>{WidgetPoint(last - 1, 1900, 0),
                                                                 WidgetPoint(last, 2400, 0)}));
    EXPECT_EQ(status.trends.at("cpuUsage").size(), 2u);
    EXPECT_EQ(status.trends.at("storageTemperature").size(), 2u);
    EXPECT_FALSE(status.trends.at("storageTemperature")[1].value.has_value());
}

TEST_F(StatusPublisher, DefaultModeNamesSystemAutomaticControl) {
    const auto result = publish({"--status", status_.string(), (dir_ / "b.json").string()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(WidgetSnapshot::decode(readText(status_)).mode, "系统自动");
}

// Every refusal names its reason, exits with the documented status and writes nothing.
TEST_F(StatusPublisher, RefusesBadInputWithoutWritingAnything) {
    writeText(dir_ / "broken.json", "{\"date\": ");
    writeText(dir_ / "not-a-snapshot.json", R"({"date": "2026-12-08T05:00:02Z"})");
    const std::string a = (dir_ / "a.json").string(), b = (dir_ / "b.json").string();
    const std::string status = status_.string();
    struct Case {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--status", status}, 2, "no snapshot given"},
        {{"--status", status, "--colour", a}, 2, "unknown option --colour"},
        {{a, "--status"}, 2, "--status needs a value"},
        {{"--status", status, (dir_ / "missing.json").string()}, 1, "missing.json: cannot be read"},
        {{"--status", status, dir_.path().string()}, 1, "is a directory"},
        {{"--status", status, a, (dir_ / "broken.json").string()},
         1,
         "broken.json: not a snapshot"},
        {{"--status", status, (dir_ / "not-a-snapshot.json").string()},
         1,
         "not-a-snapshot.json: not a snapshot"},
        {{"--status", status, b, a}, 1, "a.json: not later than the snapshot before it"},
        {{"--status", status, a, a}, 1, "not later than the snapshot before it"},
        {{"--status", (dir_ / "a.json" / "status.json").string(), a}, 1, "cannot write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const auto result = publish(c.arguments);
        EXPECT_EQ(result.status, c.exitStatus);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_FALSE(fs::exists(status_));
    }
}

}  // namespace
}  // namespace pyrelle
