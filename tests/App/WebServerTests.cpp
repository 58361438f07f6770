// Kilnview's web layer in-process: a real server on a loopback port, a recorded model, and a
// recorder in place of the helper, so every check is about what the server lets through.
#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "Web/WebServer.hpp"
#include "support/LoopbackPeer.hpp"

namespace {

using namespace kilnview;
using namespace pyrelle;
using Json = nlohmann::json;

// Records what reaches the helper's side.
class RecordingFans : public FanActions {
public:
    ActionResult test() override { return note("test"); }
    ActionResult curve(const ControlRequest& request) override {
        std::lock_guard<std::mutex> guard(lock);
        requests.push_back(request);
        calls.push_back("curve");
        return ActionResult::success("控制已确认生效");
    }
    ActionResult automatic() override { return note("auto"); }
    ActionResult cooling() override {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back("cooling");
        return ActionResult::failure("回读不一致");
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    std::vector<ControlRequest> received() {
        std::lock_guard<std::mutex> guard(lock);
        return requests;
    }

    std::mutex lock;
    std::vector<std::string> calls;
    std::vector<ControlRequest> requests;

private:
    ActionResult note(const char* name) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(name);
        return ActionResult::success("风扇由系统管理");
    }
};

Snapshot sample(double at) {
    Snapshot s;
    s.date = Date(at);
    s.cpuUsage = 42;
    s.smcAvailable = true;
    s.acPower = true;
    s.memoryPressure = MemoryPressure::normal;
    s.sensors = {{"TC0P", "CPU proximity", 61.5}, {"TG0D", "GPU \"diode\"", 48}};
    s.fans = {{0, 2400, 1200, 5000, false, true}, {1, 2500, 1200, 5200, true, true}};
    return s;
}

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";
constexpr const char* kSecret = "5ec2e75ec2e75ec2e75ec2e75ec2e75e";
constexpr const char* kSession = "5e5510a5e5510a5e5510a5e5510a5e55";
constexpr const char* kMetricsToken = "scrape-token";
constexpr uid_t kOwner = 4242;  // Kilnview's user here; the tests' own peers are root's

struct Web : ::testing::Test {
    AppState state{SensorNamingPlatform::generic, Date(0)};
    RecordingFans fans;
    LiveFeed feed;
    WidgetStrings strings{
        WidgetStrings::Table{{"概览", {{"en", "Overview"}}}, {"手动", {{"en", "Manual"}}}}, {}};
    std::unique_ptr<WebServer> server;
    std::thread serving;
    int port = 0;
    std::string cookie;  // the session

    void SetUp() override {
        for (int i = 0; i < 5; ++i) state.record(sample(1000 + i), std::nullopt, i, {});
        server = std::make_unique<WebServer>(
            WebDependencies{state,
                            fans,
                            feed,
                            strings,
                            {"zh-CN"},
                            kToken,
                            [] {
                                return Pages::PowerReading{std::nullopt, "电源设置读取失败"};
                            },
                            Credentials(kSecret, kSession, kMetricsToken),
                            kOwner});
        port = server->bind(0);
        ASSERT_GT(port, 0);
        serving = std::thread([this] { server->run(); });
        // In through the printed address, as a browser: the secret buys the session cookie.
        auto login = client().Get((std::string("/?secret=") + kSecret).c_str());
        ASSERT_TRUE(login);
        ASSERT_EQ(login->status, 303);
        const std::string set = login->get_header_value("Set-Cookie");
        cookie = set.substr(0, set.find(';'));
    }
    void TearDown() override {
        server->stop();
        serving.join();
    }
    httplib::Client client() {
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(5);
        c.set_read_timeout(10);
        return c;
    }
    // A request of the logged-in browser (its session cookie added unless one is given).
    httplib::Result get(const std::string& path, httplib::Headers headers = {}) {
        if (!headers.count("Cookie")) headers.emplace("Cookie", cookie);
        return client().Get(path.c_str(), headers);
    }
    httplib::Result post(const std::string& path, const std::string& body,
                         httplib::Headers headers = {{"X-Kilnview-Token", kToken}}) {
        if (!headers.count("Cookie")) headers.emplace("Cookie", cookie);
        return client().Post(path.c_str(), headers, body, "application/json");
    }
};

TEST_F(Web, EveryPageRendersWithTokenNavigationAndLanguage) {
    for (const char* path : {"/", "/sensors", "/fans", "/history", "/processes", "/power"}) {
        auto res = get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        const std::string& html = res->body;
        EXPECT_NE(
            html.find("<meta name=\"kilnview-token\" content=\"" + std::string(kToken) + "\">"),
            std::string::npos)
            << path;
        EXPECT_NE(html.find("<html lang=\"zh-Hans\">"), std::string::npos) << path;
        EXPECT_NE(html.find("Kilnview</title>"), std::string::npos) << path;
        for (const char* id : {"nav-overview", "nav-sensors", "nav-fans", "nav-history",
                               "nav-processes", "nav-power", "nav-export", "id=\"language\""})
            EXPECT_NE(html.find(id), std::string::npos) << path << " lacks " << id;
        EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "") << path;
    }
    const std::string overview = get("/")->body;
    for (const char* key : {"cpuTemperature", "gpuTemperature", "cpuUsage", "headline", "fan-0-rpm",
                            "fan-1-mode", "memoryPressure", "powerSource", "leaseRemaining"})
        EXPECT_NE(overview.find(std::string("data-live=\"") + key + "\""), std::string::npos)
            << key;
    EXPECT_NE(overview.find("id=\"findings\""), std::string::npos);
    EXPECT_NE(overview.find("61.5 °C"), std::string::npos);
    const std::string fansPage = get("/fans")->body;
    for (const char* id : {"fan-test", "fan-cooling", "fan-auto", "curve-start", "curve-preset",
                           "curve-duration", "curve-label", "curve-points", "fan-result"})
        EXPECT_NE(fansPage.find(std::string("id=\"") + id + "\""), std::string::npos) << id;
    const std::string historyPage = get("/history")->body;
    std::size_t charts = 0;
    for (std::size_t at = 0;
         (at = historyPage.find("<svg class=\"chart\"", at)) != std::string::npos; ++at)
        ++charts;
    EXPECT_EQ(charts, 4u) << "temperature, load bands, fans and power";
    EXPECT_NE(historyPage.find("<path class=\"series\""), std::string::npos);

    // ?lang wins and is remembered in a cookie; the translated title shows.
    auto english = get("/?lang=en");
    EXPECT_NE(english->body.find("<html lang=\"en\">"), std::string::npos);
    EXPECT_NE(english->body.find("<title>Overview · Kilnview</title>"), std::string::npos);
    EXPECT_TRUE(english->has_header("Set-Cookie"));
    EXPECT_NE(english->get_header_value("Set-Cookie").find("kilnview_lang=en"), std::string::npos);
    auto remembered =
        get("/", {{"Cookie", cookie + "; a=b; kilnview_lang=zh-Hant"}, {"Accept-Language", "ja"}});
    EXPECT_NE(remembered->body.find("<html lang=\"zh-Hant\">"), std::string::npos);
}

TEST_F(Web, RefusesForeignHostsMissingTokensAndBadInputBeforeTheHelper) {
    auto foreign = get("/", {{"Host", "attacker.example:8742"}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 421);
    EXPECT_EQ(Json::parse(foreign->body)["ok"], false);

    struct Case {
        std::string path, body;
        httplib::Headers headers;
        int status;
    };
    const std::string curve =
        R"({"curve":{"points":[{"temperature":40,"percent":20},{"temperature":85,"percent":100}],"sensor":"CPU"}})";
    const std::vector<Case> refused = {
        {"/api/fans/test", "{}", {}, 403},
        {"/api/fans/test", "{}", {{"X-Kilnview-Token", "wrong"}}, 403},
        {"/api/fans/auto",
         "{}",
         {{"X-Kilnview-Token", kToken}, {"Origin", "http://evil.example"}},
         403},
        {"/api/fans/curve", "{\"curve\":", {{"X-Kilnview-Token", kToken}}, 400},
        {"/api/fans/curve",
         R"({"curve":{"points":[],"sensor":"CPU"}})",
         {{"X-Kilnview-Token", kToken}},
         400},
        {"/api/fans/curve", std::string(20000, ' '), {{"X-Kilnview-Token", kToken}}, 413},
        {"/api/fans/test", "[]", {{"X-Kilnview-Token", kToken}}, 400},
        {"/api/fans/nothing", "{}", {{"X-Kilnview-Token", kToken}}, 404},
    };
    for (const Case& c : refused) {
        auto res = post(c.path, c.body, c.headers);
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path << " " << c.body.substr(0, 40);
        const Json reply = Json::parse(res->body, nullptr, false);
        ASSERT_TRUE(reply.is_object()) << res->body;
        EXPECT_EQ(reply["ok"], false);
        EXPECT_FALSE(reply["message"].get<std::string>().empty());
    }
    auto text = client().Post("/api/fans/test", {{"X-Kilnview-Token", kToken}, {"Cookie", cookie}},
                              "x=1", "application/x-www-form-urlencoded");
    EXPECT_EQ(text->status, 415);
    EXPECT_TRUE(fans.seen().empty()) << "a refused request reached the helper";

    auto accepted = post("/api/fans/curve", curve);
    ASSERT_EQ(accepted->status, 200);
    EXPECT_EQ(Json::parse(accepted->body)["ok"], true);
    const std::vector<ControlRequest> received = fans.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].curve->points.size(), 2u);

    // A failure carries the operation-issue advice.
    const Json failed = Json::parse(post("/api/fans/cooling", "")->body);
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["message"], "回读不一致");
    EXPECT_NE(failed["advice"].get<std::string>().find("风扇设置尚未确认"), std::string::npos);
    EXPECT_EQ(fans.seen(), (std::vector<std::string>{"curve", "cooling"}));
}

TEST_F(Web, MetricsFollowTheExpositionFormat) {
    auto res = get("/metrics", {{"Authorization", std::string("Bearer ") + kMetricsToken}});
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    std::set<std::string> helped, typed;
    std::map<std::string, int> samples;
    const std::regex line(
        R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\]|\\.)*",?)*\})? (-?[0-9.e+-]+|NaN|[+-]Inf)$)");
    std::size_t start = 0, end;
    while ((end = res->body.find('\n', start)) != std::string::npos) {
        const std::string text = res->body.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        if (text.rfind("# HELP ", 0) == 0) {
            helped.insert(text.substr(7, text.find(' ', 7) - 7));
        } else if (text.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(text.substr(text.rfind(' ') + 1), "gauge") << text;
            typed.insert(text.substr(7, text.find(' ', 7) - 7));
        } else {
            ASSERT_TRUE(std::regex_match(text, m, line)) << text;
            EXPECT_TRUE(typed.count(m[1])) << "sample before its # TYPE: " << text;
            ++samples[m[1]];
        }
    }
    EXPECT_EQ(helped, typed);
    for (const char* family :
         {"pyrelle_fan_rpm", "pyrelle_fan_manual", "pyrelle_temperature_celsius",
          "pyrelle_cpu_usage_ratio", "pyrelle_diagnostic_state", "pyrelle_lease_remaining_seconds"})
        EXPECT_GT(samples[family], 0) << family;
    EXPECT_TRUE(typed.count("pyrelle_fan_target_rpm"));
    EXPECT_NE(res->body.find("pyrelle_fan_rpm{fan=\"0\"} 2400\n"), std::string::npos);
    EXPECT_NE(res->body.find("pyrelle_fan_manual{fan=\"1\"} 1\n"), std::string::npos);
    EXPECT_NE(res->body.find("pyrelle_cpu_usage_ratio 0.41999999999999998\n"), std::string::npos);
    EXPECT_NE(res->body.find("label=\"GPU \\\"diode\\\"\""), std::string::npos);
}

TEST_F(Web, EventsStreamTheStateOncePerSample) {
    std::atomic<int> messages{0};
    std::string first;
    std::thread reader([&] {
        httplib::Client c = client();
        c.Get("/events?lang=en", {{"Cookie", cookie}}, [&](const char* data, std::size_t size) {
            const std::string chunk(data, size);
            if (chunk.rfind("data: ", 0) == 0) {
                if (messages == 0) first = chunk;
                ++messages;
            }
            return messages < 2;
        });
    });
    // The first message comes at once; a loaded machine may take a while to deliver it, and a
    // sample published before it would be folded into it.
    for (int i = 0; i < 3000 && messages < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state.record(sample(2000), std::nullopt, 10, {});
    feed.publish();
    reader.join();
    EXPECT_EQ(messages, 2);
    const Json state = Json::parse(first.substr(6));
    EXPECT_EQ(state["live"]["fan-1-mode"], "Manual") << "translated for the stream's language";
    EXPECT_EQ(state["live"]["cpuTemperature"], "61.5 °C");
    EXPECT_EQ(Json::parse(get("/api/state")->body)["samples"], 6);
    auto csv = get("/export.csv");
    EXPECT_EQ(csv->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
    EXPECT_NE(csv->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
}

TEST_F(Web, OnlyTheOwnersPeersWithASessionOrBearerGetIn) {
    using pyrelle::testing::requestAs;
    const std::string session = "Cookie: " + cookie + "\r\n";
    const std::string token = std::string("X-Kilnview-Token: ") + kToken + "\r\n";
    const std::string json = "Content-Type: application/json\r\n";
    const std::string bearer = std::string("Authorization: Bearer ") + kSecret + "\r\n";
    constexpr uid_t kRoot = 0, kOther = 1000;  // the owner is kOwner; root is let in too
    struct Case {
        uid_t peer;
        std::string method, path, headers;
        int status;
    };
    const std::vector<Case> cases = {
        {kRoot, "GET", "/", "", 401},
        {kRoot, "GET", "/history?lang=en", "", 401},
        {kRoot, "GET", "/events", "", 401},
        {kRoot, "GET", "/api/state", "", 401},
        {kRoot, "GET", "/export.csv", bearer, 401},
        {kRoot, "POST", "/api/fans/auto", token + json, 401},
        {kRoot, "GET", "/metrics", session, 401},
        {kRoot, "GET", "/metrics", "Authorization: Bearer " + cookie + "\r\n", 401},
        {kRoot, "GET", "/?secret=5ec2e75ec2e75ec2e75ec2e75ec2e75f", "", 401},
        {kRoot, "GET", "/assets/app.css", "", 200},
        {kRoot, "GET", "/metrics", bearer, 200},
        {kRoot, "GET", "/api/state", session, 200},
        {kOther, "GET", "/", session, 403},
        {kOther, "GET", "/events", session, 403},
        {kOther, "GET", "/api/state", session, 403},
        {kOther, "GET", "/metrics", bearer, 403},
        {kOther, "GET", std::string("/?secret=") + kSecret, "", 403},
        {kOther, "POST", "/api/fans/test", session + token + json, 403},
    };
    for (const Case& c : cases) {
        const std::string reply =
            requestAs(c.peer, port, c.method, c.path, c.headers, c.method == "POST" ? "{}" : "");
        EXPECT_EQ(pyrelle::testing::statusOf(reply), c.status)
            << "uid " << c.peer << " " << c.method << " " << c.path << "\n"
            << reply.substr(0, 300);
    }
    EXPECT_TRUE(fans.seen().empty()) << "a refused request reached the helper";

    // The secret buys the session and the browser goes on to the same address without it.
    const std::string login =
        requestAs(kRoot, port, "GET", std::string("/history?lang=en&secret=") + kSecret);
    EXPECT_EQ(pyrelle::testing::statusOf(login), 303);
    EXPECT_NE(login.find("Location: /history?lang=en\r\n"), std::string::npos) << login;
    EXPECT_NE(login.find("Set-Cookie: " + cookie + "; Path=/; HttpOnly; SameSite=Strict"),
              std::string::npos)
        << login;
    const std::string page = requestAs(kRoot, port, "GET", "/", "");
    EXPECT_NE(page.find("?secret="), std::string::npos) << "the login page tells where to go";
}

}  // namespace
