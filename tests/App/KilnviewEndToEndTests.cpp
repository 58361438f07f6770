// Kilnview end to end: the real program on a virtual Mac, driving the real helper, checked
// over HTTP and through the device's own state dump. Kilnview runs as the desktop
// application runs when given administrator rights (real uid 1000, effective uid 0). The
// fixture logs in as its user does, through the printed address, and its requests carry the
// session cookie (and, for /metrics, the bearer token) from sockets of Kilnview's user.
#include <grp.h>
#include <pwd.h>
#include <httplib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <future>
#include <utility>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "Control/ControlTruth.hpp"
#include "support/Descendants.hpp"
#include "support/Eventually.hpp"
#include "support/LoopbackPeer.hpp"
#include "support/Subprocess.hpp"
#include "support/VirtualMac.hpp"

namespace {

using namespace pyrelle::testing;
using namespace kilnview;
using Json = nlohmann::json;

constexpr uid_t kUser = 1000;

bool fansAutomatic(const Json& state) {
    for (const Json& fan : state["fans"])
        if (fan["manual"].get<bool>()) return false;
    return state["ftst"] == 0;
}

bool anyFanManual(const Json& state) {
    for (const Json& fan : state["fans"])
        if (fan["manual"].get<bool>()) return true;
    return false;
}

// The value of one field ("Uid", "CapPrm", ...) of /proc/<pid>/status.
std::string statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            const auto value = line.find_first_not_of(" \t", field.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

// The ids of a Uid/Gid status field.
std::vector<long> ids(const std::string& field) {
    std::istringstream words(field);
    std::vector<long> result;
    for (long id; words >> id;) result.push_back(id);
    return result;
}

// The errno a process running as nobody gets from signalling `pid` (0: it could).
int errorSignallingAsNobody(pid_t pid) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(255);
        _exit(kill(pid, SIGTERM) == 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
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
    std::string address;  // as printed, with its secret
    std::string secret;
    std::string cookie;  // the session the printed address bought
    std::string token;

    // How Kilnview is started; the default gives it administrator rights.
    virtual std::vector<std::string> launcher() const {
        return {"/usr/bin/setpriv", "--ruid", std::to_string(kUser), "--euid", "0"};
    }
    virtual std::vector<std::string> extraArguments() const { return {}; }
    virtual std::map<std::string, std::string> extraEnvironment() const { return {}; }
    // The user Kilnview runs as (the real uid its launcher gives it).
    virtual uid_t user() const { return kUser; }

    void SetUp() override {
        // Whatever Kilnview leaves behind (its privileged part, a helper's guardian still
        // handing back) becomes this process's child, and is reaped in TearDown.
        adoptOrphans();
        mac.shareWithAllUsers();
        char pattern[] = "/tmp/kilnview-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        statusDirectory = pattern;
        ASSERT_EQ(chown(pattern, user(), user()), 0);
        ProcessOptions options;
        options.environment["PYRELLE_SMC_SOCKET"] = mac.socket();
        // The user's runtime directory, where the address is kept for `Kilnview --open`.
        options.environment["XDG_RUNTIME_DIR"] = statusDirectory;
        // Kilnview gives up root at start, which makes it undumpable; LeakSanitizer's exit
        // check cannot inspect such a process and would fail its exit status. Leaks of the
        // application's code are covered by the in-process tests of the model and web layer.
        options.environment["ASAN_OPTIONS"] = "detect_leaks=0";
        options.unset = {"SUDO_UID", "SUDO_GID"};
        for (const auto& [name, value] : extraEnvironment()) options.environment[name] = value;
        // The checks read the source texts: the UI language does not follow the test's locale.
        std::vector<std::string> argv = launcher();
        for (const std::string& argument :
             {binaryPath("App/Kilnview"), std::string("--port"), std::string("0"),
              std::string("--interval"), std::string("0.25"), std::string("--status-dir"),
              statusDirectory + "/widget", std::string("--lang"), std::string("zh-Hans")})
            argv.push_back(argument);
        for (const std::string& argument : extraArguments()) argv.push_back(argument);
        app = std::make_unique<InteractiveProcess>(argv, options);
        const auto line = app->readLine(20);
        ASSERT_TRUE(line) << "Kilnview printed no address";
        std::smatch match;
        ASSERT_TRUE(std::regex_search(
            *line, match,
            std::regex("^Kilnview: (http://127\\.0\\.0\\.1:([0-9]+)/\\?secret=([0-9a-f]+))$")))
            << *line;
        address = match[1];
        port = std::stoi(match[2]);
        secret = match[3];
        // In through the printed address: the secret buys the session cookie.
        const std::string login = requestAs(user(), port, "GET", "/?secret=" + secret);
        std::smatch session;
        ASSERT_TRUE(std::regex_search(
            login, session, std::regex("Set-Cookie: (kilnview_session_[0-9]+=[0-9a-f]+);")))
            << login;
        cookie = session[1];
        ASSERT_TRUE(eventually(20, [&] { return state()["samples"].get<int>() >= 4; }));
        const std::string page = get("/")->body;
        std::smatch meta;
        ASSERT_TRUE(std::regex_search(
            page, meta, std::regex("name=\"kilnview-token\" content=\"([0-9a-f]+)\"")));
        token = meta[1];
    }

    void TearDown() override {
        app.reset();  // kills and reaps Kilnview if a test left it running
        mac.control({{"op", "clear-faults"}});
        // The privileged part ends with Kilnview, however Kilnview ended.
        EXPECT_TRUE(reapAdopted("kilnview-root", 10));
        reapAdopted("PyrelleHelper", 30);
        std::error_code ignored;
        std::filesystem::remove_all(statusDirectory, ignored);
    }

    // Kilnview's privileged part (started with administrator rights), or -1.
    pid_t privilegedPart() const {
        const auto parts = childrenNamed(app->pid(), "kilnview-root");
        return parts.empty() ? -1 : parts.front();
    }
    // The helpers Kilnview started.
    std::vector<pid_t> helpers() const {
        const pid_t part = privilegedPart();
        return childrenNamed(part > 0 ? part : app->pid(), "PyrelleHelper");
    }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(5);
        c.set_read_timeout(60);
        return c;
    }
    // Requests of the logged-in user: the session cookie, and the bearer token for /metrics,
    // on sockets of Kilnview's user.
    httplib::Result get(const std::string& path, httplib::Headers headers = {}) const {
        if (!headers.count("Cookie")) headers.emplace("Cookie", cookie);
        if (path == "/metrics" && !headers.count("Authorization"))
            headers.emplace("Authorization", "Bearer " + secret);
        AsUser as(user());
        return client().Get(path.c_str(), headers);
    }
    Json state() const {
        auto res = get("/api/state");
        return res && res->status == 200 ? Json::parse(res->body) : Json{{"samples", 0}};
    }
    Json post(const std::string& path, const Json& body, bool withToken = true) const {
        httplib::Headers headers;
        if (withToken) headers.emplace("X-Kilnview-Token", token);
        headers.emplace("Cookie", cookie);
        AsUser as(user());
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

// Started with administrator rights in each of the ways a person does: the process that
// serves HTTP holds no root in any id and no capability, the fans are still driven, and
// neither Kilnview's parts nor its helpers can be signalled by the shared nobody account.
struct RootStart {
    const char* name;
    std::vector<std::string> launcher;
    bool namedUser = false;
    std::map<std::string, std::string> environment;
};

struct KilnviewStartedAsRoot : Kilnview, ::testing::WithParamInterface<RootStart> {
    std::vector<std::string> launcher() const override { return GetParam().launcher; }
    std::vector<std::string> extraArguments() const override {
        if (!GetParam().namedUser) return {};
        const passwd* user = getpwuid(kUser);
        return {"--user", user ? user->pw_name : "no-such-user"};
    }
    std::map<std::string, std::string> extraEnvironment() const override {
        return GetParam().environment;
    }
};

TEST_P(KilnviewStartedAsRoot, ServesWithoutRootAndKeepsItsHelpersOutOfReach) {
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(app->pid()) + "/task", ignored)) {
        const pid_t thread = std::stoi(task.path().filename().string());
        for (const char* field : {"Uid", "Gid"}) {
            const std::vector<long> found = ids(statusField(thread, field));
            EXPECT_EQ(found, std::vector<long>(4, kUser)) << field << " of thread " << thread;
        }
        EXPECT_EQ(statusField(thread, "CapPrm"), "0000000000000000") << thread;
        EXPECT_EQ(statusField(thread, "CapEff"), "0000000000000000") << thread;
        EXPECT_EQ(statusField(thread, "Groups"), "") << thread;
    }
    EXPECT_EQ(statusField(app->pid(), "NoNewPrivs"), "1");
    const pid_t part = privilegedPart();
    ASSERT_GT(part, 0);
    EXPECT_EQ(ids(statusField(part, "Uid")), std::vector<long>(4, 0));

    const Json started = post("/api/fans/curve", kCurve);
    ASSERT_EQ(started["ok"], true) << started.dump();
    EXPECT_FALSE(fansAutomatic(mac.state()));
    const std::vector<pid_t> running = helpers();
    ASSERT_EQ(running.size(), 1u);
    // The helper: the user's real uid (its owner checks want it), root effective.
    const std::vector<long> helperIds = ids(statusField(running[0], "Uid"));
    ASSERT_EQ(helperIds.size(), 4u);
    EXPECT_EQ(helperIds[0], kUser);
    EXPECT_EQ(helperIds[1], 0);
    for (const pid_t target : {running[0], part, app->pid()})
        EXPECT_EQ(errorSignallingAsNobody(target), EPERM) << target;

    const Json handedBack = post("/api/fans/auto", Json::object());
    EXPECT_EQ(handedBack["ok"], true) << handedBack.dump();
    EXPECT_TRUE(fansAutomatic(mac.state())) << mac.state().dump();
    // The one-shot cooling run is started by the privileged part too, and stopped through
    // the stop file Kilnview creates as the user.
    const Json cooling = post("/api/fans/cooling", Json::object());
    ASSERT_EQ(cooling["ok"], true) << cooling.dump();
    EXPECT_TRUE(eventually(15, [&] { return fansAtMaximum(mac.state()); })) << mac.state().dump();
    const Json stoppedCooling = post("/api/fans/auto", Json::object());
    EXPECT_EQ(stoppedCooling["ok"], true) << stoppedCooling.dump();
    EXPECT_TRUE(fansAutomatic(mac.state())) << mac.state().dump();
    app->signal(SIGTERM);
    const ProcessResult ended = app->wait(40);
    EXPECT_EQ(ended.status, 0) << ended.err;
}

INSTANTIATE_TEST_SUITE_P(
    Starts, KilnviewStartedAsRoot,
    ::testing::Values(RootStart{"RealUidOfTheUser",
                                {"/usr/bin/setpriv", "--ruid", "1000", "--euid", "0"}},
                      RootStart{"Sudo", {}, false, {{"SUDO_UID", "1000"}, {"SUDO_GID", "1000"}}},
                      RootStart{"NamedUser", {}, true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// The helper ends with a failed hand-back (a fan's mode key refuses the write that hands it
// back), stopped by its stop signal or killed outright: Kilnview shows the helper's last
// words with their advice and a warning with "back to automatic", never "系统自动" while the
// device holds a fan manual, and its own stop then exits non-zero with the reason.
// With `mend`, the user then takes the warning's "back to automatic" once the device lets
// it, and Kilnview's stop exits 0.
struct HelperEnding {
    const char* name;
    int signal;
    bool mend;
};

struct KilnviewHandBackFails : Kilnview, ::testing::WithParamInterface<HelperEnding> {};

TEST_P(KilnviewHandBackFails, ShowsTheFailureAndNeverClaimsAutomatic) {
    const bool stopped = GetParam().signal == SIGTERM;
    const Json started = post("/api/fans/curve", kCurve);
    ASSERT_EQ(started["ok"], true) << started.dump();
    ASSERT_TRUE(eventually(10, [&] { return anyFanManual(mac.state()); }));
    ASSERT_EQ(mac.control({{"op", "fault"}, {"kind", "refuse-write"}, {"key", "F0Md"}})["ok"],
              true);
    const std::vector<pid_t> running = helpers();
    ASSERT_EQ(running.size(), 1u);
    ASSERT_EQ(kill(running[0], GetParam().signal), 0);

    int manualRounds = 0;
    Json shown;
    const bool heard = eventually(60, [&] {
        const Json device = mac.state();
        shown = state();
        const Json& live = shown["live"];
        if (anyFanManual(device)) {
            ++manualRounds;
            EXPECT_NE(live["controlMode"], "系统自动") << shown.dump() << device.dump();
        }
        const std::string failure = live.value("controlFailure", "");
        return live.value("controlAlert", "") == ControlTruth::kLeftManual && !failure.empty() &&
               (!stopped || failure.find("恢复自动风扇失败") != std::string::npos);
    });
    ASSERT_TRUE(heard) << shown.dump();
    EXPECT_GT(manualRounds, 0);
    EXPECT_TRUE(anyFanManual(mac.state()));
    EXPECT_NE(shown["live"]["controlAdvice"], "");
    const std::string page = get("/fans?lang=zh-Hans")->body;
    EXPECT_NE(page.find(shown["live"]["controlFailure"].get<std::string>()), std::string::npos);
    EXPECT_NE(page.find(ControlTruth::kLeftManual), std::string::npos);
    EXPECT_NE(page.find("class=\"control-auto\""), std::string::npos);

    if (GetParam().mend) {
        ASSERT_EQ(mac.control({{"op", "clear-faults"}})["ok"], true);
        const Json handedBack = post("/api/fans/auto", Json::object());
        EXPECT_EQ(handedBack["ok"], true) << handedBack.dump();
        EXPECT_TRUE(fansAutomatic(mac.state())) << mac.state().dump();
        EXPECT_TRUE(eventually(10, [&] {
            const Json live = state()["live"];
            return live["controlMode"] == "系统自动" && live["controlAlert"] == "";
        }));
    }

    app->signal(SIGTERM);
    const ProcessResult ended = app->wait(40);
    EXPECT_FALSE(ended.timedOut);
    EXPECT_EQ(ended.status, GetParam().mend ? 0 : 1) << ended.err;
    if (stopped && !GetParam().mend) {
        EXPECT_NE(ended.err.find("恢复自动风扇失败"), std::string::npos) << ended.err;
    }
}

INSTANTIATE_TEST_SUITE_P(HelperEnds, KilnviewHandBackFails,
                         ::testing::Values(HelperEnding{"Stopped", SIGTERM, false},
                                           HelperEnding{"Killed", SIGKILL, false},
                                           HelperEnding{"StoppedThenMended", SIGTERM, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Started by plain root with no user to run as, Kilnview refuses to start rather than serve
// its pages as root or as the shared nobody account.
TEST(KilnviewStart, RootWithoutAnOrdinaryUserIsRefused) {
    struct Case {
        std::vector<std::string> arguments;
        const char* says;
    };
    for (const Case& row : {Case{{}, "--user NAME"}, Case{{"--user", "nobody"}, "nobody"},
                            Case{{"--user", "root"}, "root"},
                            Case{{"--user", "no-such-user-of-pyrelle"}, "no such user"}}) {
        std::vector<std::string> argv = {binaryPath("App/Kilnview"), "--port", "0"};
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        ProcessOptions options;
        options.unset = {"SUDO_UID", "SUDO_GID"};
        options.environment["ASAN_OPTIONS"] = "detect_leaks=0";
        options.timeoutSeconds = 20;
        const ProcessResult result = runProcess(argv, options);
        EXPECT_EQ(result.status, 1) << row.says << ": " << result.err;
        EXPECT_NE(result.err.find(row.says), std::string::npos) << result.err;
        EXPECT_EQ(result.out.find("http://"), std::string::npos) << result.out;
    }
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

// Kilnview of another user (1001, with administrator rights, so it could drive the fans), a
// long-lived metrics token from a root-only file, and the intruder: uid 1000.
struct KilnviewOfAnotherUser : Kilnview {
    static constexpr uid_t kOwner = 1001;
    static constexpr uid_t kIntruder = kUser;
    std::string tokenFile = "/tmp/kilnview-e2e-token-" + std::to_string(::getpid());
    const std::string metricsToken = "prometheus-scrapes-with-this";

    uid_t user() const override { return kOwner; }
    std::vector<std::string> launcher() const override {
        return {"/usr/bin/setpriv", "--ruid", std::to_string(kOwner), "--euid", "0"};
    }
    std::vector<std::string> extraArguments() const override {
        return {"--metrics-token-file", tokenFile};
    }
    void SetUp() override {
        std::ofstream(tokenFile) << metricsToken << "\n";
        ASSERT_EQ(::chmod(tokenFile.c_str(), 0600), 0);
        Kilnview::SetUp();
    }
    void TearDown() override {
        Kilnview::TearDown();
        std::filesystem::remove(tokenFile);
    }
    std::size_t peakKiB() const {
        std::ifstream status("/proc/" + std::to_string(app->pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6));
        return 0;
    }
};

TEST_F(KilnviewOfAnotherUser, OnlyItsUserGetsInAndNoFanKeyIsWrittenForAnyoneElse) {
    const std::string session = "Cookie: " + cookie + "\r\n";
    const std::string csrf =
        "X-Kilnview-Token: " + token + "\r\nContent-Type: application/json\r\n";
    const std::string bearer = "Authorization: Bearer " + secret + "\r\n";
    const std::string scraper = "Authorization: Bearer " + metricsToken + "\r\n";
    const Json before = mac.state()["writes"];
    struct Case {
        uid_t peer;
        std::string method, path, headers;
        bool admitted;  // 200 (else 401 or 403)
    };
    std::vector<Case> cases;
    // The intruder holds everything the owner has: the cookie, the page token, the secret.
    for (const char* path : {"/", "/sensors", "/fans", "/history", "/processes", "/power",
                             "/export.csv", "/events", "/api/state"}) {
        cases.push_back({kIntruder, "GET", path, session, false});
        cases.push_back({kOwner, "GET", path, "", false});
        cases.push_back({kOwner, "GET", path, session, true});
    }
    for (const char* path : {"/api/fans/test", "/api/fans/cooling", "/api/fans/curve"})
        cases.push_back({kIntruder, "POST", path, session + csrf, false});
    cases.push_back({kOwner, "POST", "/api/fans/cooling", csrf, false});
    cases.push_back({kIntruder, "GET", "/?secret=" + secret, "", false});
    cases.push_back({kIntruder, "GET", "/metrics", bearer, false});
    cases.push_back({kIntruder, "GET", "/metrics", scraper, false});
    cases.push_back({kOwner, "GET", "/metrics", session, false});
    cases.push_back({kOwner, "GET", "/metrics", bearer, true});
    cases.push_back({kOwner, "GET", "/metrics", scraper, true});  // as Prometheus scrapes
    cases.push_back({0, "GET", "/metrics", scraper, true});
    for (const Case& c : cases) {
        const std::string body = c.path == "/api/fans/curve" ? kCurve.dump() : "{}";
        const std::string reply =
            requestAs(c.peer, port, c.method, c.path, c.headers, c.method == "POST" ? body : "", 2);
        const int status = statusOf(reply);
        if (c.admitted) {
            EXPECT_EQ(status, 200) << c.peer << " " << c.method << " " << c.path;
        } else
            EXPECT_TRUE(status == 401 || status == 403)
                << c.peer << " " << c.method << " " << c.path << " got " << status;
        if (c.admitted && c.path == "/metrics") {
            EXPECT_NE(reply.find("pyrelle_fan_rpm{fan=\"0\"}"), std::string::npos);
        }
    }
    EXPECT_EQ(mac.state()["writes"], before) << "a refused request reached the fans";

    // The address is kept for `Kilnview --open` in a file only the user can read.
    const std::string kept = statusDirectory + "/kilnview-address";
    struct stat info {};
    ASSERT_EQ(::lstat(kept.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kOwner);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream file(kept);
    std::string line;
    std::getline(file, line);
    EXPECT_EQ(line, address);
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(20).status, 0);
    EXPECT_FALSE(std::filesystem::exists(kept)) << "removed at exit";
}

// Connections that send a request one byte at a time, reopened whenever the server cuts one.
class Trickle {
public:
    Trickle(int port, std::vector<uid_t> peers) : port_(port), peers_(std::move(peers)) {
        fds_.assign(peers_.size(), -1);
        thread_ = std::thread([this] { run(); });
    }
    ~Trickle() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int& fd : fds_)
            if (fd >= 0) ::close(std::exchange(fd, -1));
    }
    int cut() const { return cut_; }

private:
    void run() {
        while (!stop_) {
            for (std::size_t i = 0; i < fds_.size(); ++i) {
                if (fds_[i] < 0) {
                    fds_[i] = connectAs(peers_[i], port_);
                    if (fds_[i] >= 0 && !sendAll(fds_[i], "GET /api/state HTTP/1.1\r\nHost: 127.0"))
                        ::close(std::exchange(fds_[i], -1));
                    continue;
                }
                pollfd ready{fds_[i], POLLIN, 0};
                const bool answered = ::poll(&ready, 1, 0) > 0;
                if (answered || ::send(fds_[i], "0", 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
                    ::close(std::exchange(fds_[i], -1));
                    ++cut_;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }

    int port_;
    std::vector<uid_t> peers_;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::atomic<int> cut_{0};
    std::thread thread_;
};

TEST_F(KilnviewOfAnotherUser, NoConnectionFreezesOrBloatsItAndSigtermEndsItPromptly) {
    // 16 trickling connections of another user and 16 of root (whose peers are let in, so
    // only the server's own bounds stop them), for longer than a request may take.
    std::vector<uid_t> peers(16, kIntruder);
    peers.insert(peers.end(), 16, 0);
    Trickle trickle(port, peers);
    double slowest = 0;
    int answered = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(13);
    bool automatic = false;
    while (std::chrono::steady_clock::now() < until) {
        const auto start = std::chrono::steady_clock::now();
        const auto res = get("/api/state");
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        slowest = std::max(slowest, seconds);
        if (res && res->status == 200) ++answered;
        if (!automatic && answered == 20)
            automatic = post("/api/fans/auto", Json::object())["ok"] == true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("owner's GET /api/state during the trickle: slowest %.3f s of %d\n", slowest,
                answered);
    EXPECT_LT(slowest, 1.0) << "the owner's GET /api/state waited behind the trickle";
    EXPECT_GE(answered, 50);
    EXPECT_TRUE(automatic) << "\"auto\" was not answered during the trickle";
    EXPECT_GT(trickle.cut(), 16) << "no trickling request was cut off";
    trickle.stop();

    // One request with 3,000,000 headers from a peer that is let in.
    {
        const int fd = connectAs(0, port);
        ASSERT_GE(fd, 0);
        std::string headers = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (int i = 0; i < 3'000'000; ++i) headers += "X-" + std::to_string(i % 1000) + ": y\r\n";
        sendAll(fd, headers);  // the server refuses and closes long before the end
        ::close(fd);
    }
    EXPECT_TRUE(eventually(5, [&] { return state()["samples"].get<int>() > 0; }));
    std::printf("peak resident memory after 3,000,000 headers: %zu KiB\n", peakKiB());
    // AddressSanitizer's shadow memory and quarantine of freed blocks make the figure its own.
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(peakKiB(), 64u * 1024) << "peak resident memory after a flood of headers";
#endif

    // SIGTERM while peers hold connections, a stream is open and a request is half sent.
    Trickle held(port, peers);
    const int stream = connectAs(kOwner, port);
    ASSERT_TRUE(sendAll(
        stream, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n"));
    EXPECT_EQ(statusOf(receiveAll(stream, 0.5)), 200);
    const int half = connectAs(kOwner, port);
    ASSERT_TRUE(sendAll(half,
                        "POST /api/fans/auto HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
                        "100\r\n\r\n{"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto signalled = std::chrono::steady_clock::now();
    app->signal(SIGTERM);
    const ProcessResult ended = app->wait(20);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    ::close(stream);
    ::close(half);
    std::printf("SIGTERM with connections held: exited after %.3f s\n", took);
    EXPECT_FALSE(ended.timedOut);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_LT(took, 2.0) << "SIGTERM waited for connections";
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
        EXPECT_NE(silentMetrics.find("\npyrelle_smc_available 0\n"), std::string::npos);
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
    if (c.kind != Silence::restart) {
        EXPECT_EQ(mac.state()["writes"], writesBefore);
    }

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
