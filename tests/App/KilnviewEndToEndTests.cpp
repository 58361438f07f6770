// Kilnview end to end: the real program on a virtual Mac, driving the real helper, checked
// over HTTP and through the device's own state dump. Kilnview runs as the desktop
// application runs when given administrator rights (real uid 1000, effective uid 0).
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "support/Subprocess.hpp"
#include "support/VirtualMac.hpp"

namespace {

using namespace pyrelle::testing;
using Json = nlohmann::json;

constexpr uid_t kUser = 1000;

// Polls `done` every 50 ms for at most `seconds`.
bool eventually(double seconds, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

bool fansAutomatic(const Json& state) {
    for (const Json& fan : state["fans"])
        if (fan["manual"].get<bool>()) return false;
    return state["ftst"] == 0;
}

bool fansAtMaximum(const Json& state) {
    for (const Json& fan : state["fans"])
        if (!fan["manual"].get<bool>() || fan["target"] != fan["maximum"]) return false;
    return true;
}

struct Kilnview : ::testing::Test {
    VirtualMac mac{"apple-m4-pro"};
    std::string statusDirectory;
    std::unique_ptr<InteractiveProcess> app;
    int port = 0;
    std::string token;

    // How Kilnview is started; the default gives it administrator rights.
    virtual std::vector<std::string> launcher() const {
        return {"/usr/bin/setpriv", "--ruid", std::to_string(kUser), "--euid", "0"};
    }
    virtual std::vector<std::string> extraArguments() const { return {}; }

    void SetUp() override {
        mac.shareWithAllUsers();
        char pattern[] = "/tmp/kilnview-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        statusDirectory = pattern;
        ASSERT_EQ(chown(pattern, kUser, kUser), 0);
        ProcessOptions options;
        options.environment["PYRELLE_SMC_SOCKET"] = mac.socket();
        // Kilnview gives up root at start, which makes it undumpable; LeakSanitizer's exit
        // check cannot inspect such a process and would fail its exit status. Leaks of the
        // application's code are covered by the in-process tests of the model and web layer.
        options.environment["ASAN_OPTIONS"] = "detect_leaks=0";
        std::vector<std::string> argv = launcher();
        for (const std::string& argument :
             {binaryPath("App/Kilnview"), std::string("--port"), std::string("0"),
              std::string("--interval"), std::string("0.25"), std::string("--status-dir"),
              statusDirectory + "/widget"})
            argv.push_back(argument);
        for (const std::string& argument : extraArguments()) argv.push_back(argument);
        app = std::make_unique<InteractiveProcess>(argv, options);
        const auto line = app->readLine(20);
        ASSERT_TRUE(line) << "Kilnview printed no address";
        std::smatch match;
        ASSERT_TRUE(std::regex_search(*line, match,
                                      std::regex("Kilnview: http://127\\.0\\.0\\.1:([0-9]+)/")))
            << *line;
        port = std::stoi(match[1]);
        ASSERT_TRUE(eventually(20, [&] { return state()["samples"].get<int>() >= 4; }));
        const std::string page = get("/")->body;
        std::smatch meta;
        ASSERT_TRUE(std::regex_search(
            page, meta, std::regex("name=\"kilnview-token\" content=\"([0-9a-f]+)\"")));
        token = meta[1];
    }

    void TearDown() override {
        app.reset();  // kills and reaps Kilnview if a test left it running
        std::error_code ignored;
        std::filesystem::remove_all(statusDirectory, ignored);
    }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(5);
        c.set_read_timeout(60);
        return c;
    }
    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) const {
        return client().Get(path.c_str(), headers);
    }
    Json state() const {
        auto res = get("/api/state");
        return res && res->status == 200 ? Json::parse(res->body) : Json{{"samples", 0}};
    }
    Json post(const std::string& path, const Json& body, bool withToken = true) const {
        httplib::Headers headers;
        if (withToken) headers.emplace("X-Kilnview-Token", token);
        auto res = client().Post(path.c_str(), headers, body.dump(), "application/json");
        if (!res) return {{"status", -1}};
        Json reply = Json::parse(res->body, nullptr, false);
        reply["status"] = res->status;
        return reply;
    }
};

const Json kCurve = {{"curve",
                      {{"points",
                        {{{"temperature", 30}, {"percent", 20}},
                         {{"temperature", 60}, {"percent", 40}},
                         {{"temperature", 85}, {"percent", 100}}}},
                       {"sensor", "CPU"}}},
                     {"durationSeconds", 600},
                     {"label", "e2e"}};

TEST_F(Kilnview, ServesThePagesAndDrivesTheFansThroughTheHelper) {
    for (const char* path : {"/", "/sensors", "/fans", "/history", "/processes", "/power"}) {
        auto res = get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_NE(res->body.find("Kilnview"), std::string::npos) << path;
    }
    const std::string metrics = get("/metrics")->body;
    EXPECT_NE(metrics.find("pyrelle_fan_rpm{fan=\"0\"}"), std::string::npos);
    EXPECT_NE(metrics.find("pyrelle_temperature_celsius{sensor=\"TC0P\""), std::string::npos);
    EXPECT_NE(metrics.find("# TYPE pyrelle_diagnostic_state gauge"), std::string::npos);

    const std::string csv = get("/export.csv")->body;
    std::istringstream lines(csv);
    std::string line;
    int rows = -1;
    while (std::getline(lines, line)) {
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 13) << line;
        ++rows;
    }
    EXPECT_GE(rows, 4) << csv;

    // Refused before anything reaches the helper: no fan key is written.
    const Json before = mac.state()["writes"];
    EXPECT_EQ(get("/", {{"Host", "rebind.example:80"}})->status, 421);
    EXPECT_EQ(post("/api/fans/test", Json::object(), false)["status"], 403);
    EXPECT_EQ(post("/api/fans/curve",
                   {{"curve", {{"points", Json::array()}, {"sensor", "CPU"}}}})["status"],
              400);
    EXPECT_EQ(mac.state()["writes"], before);

    // The five-second fan test: both fans at maximum, then automatic again.
    const Json tested = post("/api/fans/test", Json::object());
    ASSERT_EQ(tested["ok"], true) << tested.dump();
    EXPECT_TRUE(fansAtMaximum(mac.state())) << mac.state().dump();
    EXPECT_TRUE(eventually(30, [&] { return fansAutomatic(mac.state()); })) << mac.state().dump();
    EXPECT_TRUE(eventually(10, [&] { return state()["live"]["leaseRemaining"] == "—"; }));

    // A curve, then Ctrl-C: the lease is handed back before Kilnview exits 0.
    const Json started = post("/api/fans/curve", kCurve);
    ASSERT_EQ(started["ok"], true) << started.dump();
    EXPECT_TRUE(eventually(10, [&] { return state()["leaseRunning"] == true; }));
    EXPECT_FALSE(fansAutomatic(mac.state()));
    app->signal(SIGINT);
    const ProcessResult ended = app->wait(40);
    EXPECT_FALSE(ended.timedOut);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_TRUE(fansAutomatic(mac.state())) << mac.state().dump();
    EXPECT_TRUE(std::filesystem::exists(statusDirectory + "/widget/status.json"));
}

TEST_F(Kilnview, KilledDuringACurveTheHelperHandsTheFansBack) {
    const Json started = post("/api/fans/curve", kCurve);
    ASSERT_EQ(started["ok"], true) << started.dump();
    EXPECT_TRUE(eventually(10, [&] { return state()["live"]["leaseRemaining"] != "—"; }));
    EXPECT_FALSE(fansAutomatic(mac.state()));
    app->signal(SIGKILL);
    app->wait(10);
    // The helper's owner watch sees its owner gone and restores the fans on its own.
    EXPECT_TRUE(eventually(15, [&] { return fansAutomatic(mac.state()); })) << mac.state().dump();
}

// Without administrator rights, through an elevation command that fails: the failure comes
// back with its advice, and nothing reaches the fans.
struct KilnviewUnprivileged : Kilnview {
    std::vector<std::string> launcher() const override {
        return {"/usr/bin/setpriv",    "--reuid",       std::to_string(kUser), "--regid",
                std::to_string(kUser), "--clear-groups"};
    }
    std::vector<std::string> extraArguments() const override {
        return {"--elevate", "/bin/false {uid}"};
    }
};

TEST_F(KilnviewUnprivileged, AFailedElevationIsReportedWithAdvice) {
    const Json before = mac.state()["writes"];
    const Json reply = post("/api/fans/test", Json::object());
    EXPECT_EQ(reply["status"], 200);
    EXPECT_EQ(reply["ok"], false);
    EXPECT_EQ(reply["message"], "辅助进程已退出");
    EXPECT_NE(reply["advice"].get<std::string>().find("操作未完成"), std::string::npos)
        << reply.dump();
    EXPECT_EQ(mac.state()["writes"], before);
    EXPECT_NE(get("/metrics")->body.find("pyrelle_fan_rpm{fan=\"1\"}"), std::string::npos);
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(20).status, 0);
}

// The device goes silent during a run (a stall, dropped connections, a restart): the outage
// is shown with its start, fan actions wait for the device, the readings come back within
// 5 s of the device answering, and the history, the CSV and /metrics show the gap.
enum class Silence { stall, drop, restart };
struct SilenceCase {
    const char* name;
    Silence kind;
    int seconds;  // how long the device is silent (stall, restart)
};

struct KilnviewOutage : Kilnview, ::testing::WithParamInterface<SilenceCase> {
    static bool numeric(const std::string& text) {
        return std::regex_search(text, std::regex("^[0-9]"));
    }
    bool readingsNumeric() const {
        const Json live = state()["live"];
        return live.is_object() && numeric(live.value("cpuTemperature", "")) &&
               numeric(live.value("fan-0-rpm", "")) && numeric(live.value("fan-1-rpm", ""));
    }
    std::string metrics() const {
        auto res = get("/metrics");
        return res ? res->body : "";
    }
};

TEST_P(KilnviewOutage, ShowsTheOutageRefusesFanActionsAndReadsAgainOnceTheDeviceAnswers) {
    const SilenceCase c = GetParam();
    using Clock = std::chrono::steady_clock;
    ASSERT_TRUE(eventually(10, [&] { return readingsNumeric(); })) << state().dump();
    const Json writesBefore = mac.state()["writes"];
    const auto injected = Clock::now();
    auto back = injected;
    std::future<void> restarted;
    switch (c.kind) {
        case Silence::stall:
            ASSERT_EQ(
                mac.control({{"op", "fault"}, {"kind", "stall"}, {"seconds", c.seconds}})["ok"],
                true);
            back = injected + std::chrono::seconds(c.seconds);
            break;
        case Silence::drop:
            // Several, so the sampler's own connection is surely among those dropped.
            for (int i = 0; i < 4; ++i) {
                mac.control({{"op", "fault"}, {"kind", "drop-connection"}});
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            back = Clock::now();
            break;
        case Silence::restart:
            restarted = std::async(std::launch::async, [&] {
                mac.restart(std::chrono::seconds(c.seconds));
                mac.shareWithAllUsers();
                back = Clock::now();
            });
            break;
    }

    if (c.kind != Silence::drop) {
        ASSERT_TRUE(eventually(10, [&] { return state().value("deviceUp", true) == false; }));
        const std::string reason = state()["live"]["deviceOutage"];
        EXPECT_TRUE(std::regex_search(
            reason, std::regex("^SMC 自 [0-2][0-9]:[0-5][0-9]:[0-5][0-9] 起没有响应；正在重试$")))
            << reason;
        const std::string silentMetrics = metrics();
        EXPECT_NE(silentMetrics.find("\npyrelle_device_up 0\n"), std::string::npos)
            << silentMetrics;
        EXPECT_EQ(silentMetrics.find("pyrelle_fan_rpm{"), std::string::npos) << silentMetrics;
        for (const char* path : {"/", "/sensors", "/history"})
            EXPECT_NE(get(path)->body.find(reason), std::string::npos) << path;
        const Json refused = post("/api/fans/test", Json::object());
        EXPECT_EQ(refused["status"], 503) << refused.dump();
        EXPECT_EQ(refused["ok"], false);
        EXPECT_EQ(refused["message"], reason);
    }
    if (restarted.valid()) restarted.get();
    std::this_thread::sleep_until(back);
    const auto answering = Clock::now();
    ASSERT_TRUE(eventually(20, [&] { return readingsNumeric(); })) << state().dump();
    const double recovered = std::chrono::duration<double>(Clock::now() - answering).count();
    EXPECT_LE(recovered, 5.0);
    EXPECT_TRUE(state()["deviceUp"].get<bool>());
    EXPECT_NE(metrics().find("\npyrelle_device_up 1\n"), std::string::npos);
    EXPECT_NE(metrics().find("pyrelle_fan_rpm{fan=\"0\"}"), std::string::npos);
    if (c.kind != Silence::restart) EXPECT_EQ(mac.state()["writes"], writesBefore);

    // The gap: a CPU temperature point without a value, a CSV row without temperature and
    // fans, each followed by readings again.
    const Json history = Json::parse(get("/api/history")->body);
    const Json& points = history["cpuTemperature"];
    ASSERT_FALSE(points.empty());
    auto silent = std::find_if(points.begin(), points.end(),
                               [](const Json& p) { return p["value"].is_null(); });
    ASSERT_NE(silent, points.end()) << history.dump();
    EXPECT_TRUE(points.back()["value"].is_number());
    EXPECT_TRUE(history["fans"]["0"].back()["value"].is_number());
    std::istringstream csv(get("/export.csv")->body);
    std::string line;
    bool gap = false, after = false;
    while (std::getline(csv, line)) {
        std::vector<std::string> fields;
        std::stringstream row(line);
        for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
        if (line.back() == ',') fields.emplace_back();
        ASSERT_EQ(fields.size(), 14u) << line;
        if (fields[2].empty() && fields[12].empty() && fields[13].empty())
            gap = true;
        else if (gap && !fields[2].empty() && !fields[12].empty())
            after = true;
    }
    EXPECT_TRUE(gap);
    EXPECT_TRUE(after);
}

INSTANTIATE_TEST_SUITE_P(Silences, KilnviewOutage,
                         ::testing::Values(SilenceCase{"stall6", Silence::stall, 6},
                                           SilenceCase{"stall12", Silence::stall, 12},
                                           SilenceCase{"droppedConnections", Silence::drop, 0},
                                           SilenceCase{"restart", Silence::restart, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
