// Kilnview end to end: the real program on a virtual Mac, driving the real helper, checked
// over HTTP and through the device's own state dump. Kilnview runs as the desktop
// application runs when given administrator rights (real uid 1000, effective uid 0).
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
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

}  // namespace
