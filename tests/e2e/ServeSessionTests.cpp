// The control session end to end, started as the desktop application starts it (effective
// uid 0, real uid of the owner): one JSON request per line, one reply per line, a real virtual
// Mac behind it. After every scenario the device shows every fan automatic and "Ftst" at 0.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "support/Descendants.hpp"
#include "support/LeaseScenario.hpp"

namespace {

using namespace pyrelle::testing;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kSystemManaged = "风扇由系统管理";
constexpr const char* kConfirmed = "控制已确认生效";
constexpr const char* kRefused =
    "Apple Silicon 当前仅支持独立风扇控制，不支持 Intel 睿频或电源设置控制";
constexpr const char* kCurveStopped = "风扇控制被改变或无法读取，已停止曲线";
constexpr const char* kRestoreFailed = "恢复自动风扇失败";
constexpr const char* kIdentity = "原生授权会话身份验证失败\n";

Json customProfile() {
    return {{"command", "profile"}, {"profile", "custom"}, {"curve", threePointCurve()}};
}

bool isSessionIdentifier(const Json& value) {
    static const std::regex pattern("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    return value.is_string() && std::regex_match(value.get<std::string>(), pattern);
}

struct Serve : ::testing::Test {
    VirtualMac mac{"apple-m4-pro"};
    OwnerProcess owner;
    std::unique_ptr<ServeSession> session;

    void SetUp() override {
        session = std::make_unique<ServeSession>(mac, owner.pidText(), std::to_string(kOwnerUid));
    }

    // The session's guardian outlives it; it is waited for before the test ends.
    static void SetUpTestSuite() { adoptOrphans(); }
    void TearDown() override {
        session.reset();
        EXPECT_TRUE(reapAdopted("PyrelleHelper", 15));
    }

    Json ask(const Json& request, double seconds = 30) {
        const Json reply = session->request(request, seconds);
        EXPECT_TRUE(reply.is_object()) << "no reply to " << request.dump();
        return reply.is_object() ? reply : Json::object();
    }

    // An error reply carries `ok` false and its message, nothing else.
    static void expectErrorReply(const Json& reply, const std::string& message = "") {
        EXPECT_EQ(reply.value("ok", true), false) << reply.dump();
        EXPECT_EQ(reply.size(), 2u) << reply.dump();
        if (message.empty()) {
            EXPECT_FALSE(reply.value("message", "").empty()) << reply.dump();
        } else {
            EXPECT_EQ(reply.value("message", ""), message);
        }
    }

    static void expectIdle(const Json& reply) {
        EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
        EXPECT_EQ(reply.value("message", ""), kSystemManaged);
        for (const char* key : {"session", "profile", "label", "fanStatus", "turbo", "power"}) {
            EXPECT_FALSE(reply.contains(key)) << key << " in " << reply.dump();
        }
    }

    // Asks "status" until `predicate` holds for a reply (at most `seconds`).
    Json pollStatus(const std::function<bool(const Json&)>& predicate, double seconds = 15) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        Json reply;
        do {
            reply = ask({{"command", "status"}});
            if (predicate(reply)) return reply;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (Clock::now() < deadline);
        ADD_FAILURE() << "status never changed; last reply " << reply.dump();
        return reply;
    }

    void fault(nlohmann::json request) const { injectFault(mac, std::move(request)); }

    void awaitControl() const { awaitFansTaken(mac); }

    void expectHandedBack() const {
        const auto state = mac.state();
        EXPECT_TRUE(allFansAutomatic(state)) << state.at("fans").dump();
        EXPECT_EQ(state.at("ftst").get<int>(), 0);
    }

    ProcessResult finish(double seconds = 20) { return session->process().wait(seconds); }
};

TEST_F(Serve, HelloAndStatusBeforeAnySessionReportTheSystemInCharge) {
    expectIdle(ask({{"command", "hello"}}));
    expectIdle(ask({{"command", "status"}}));
    expectIdle(ask({{"command", "shutdown"}}));
    const auto r = finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(writeCount(mac.state()), 0u);
}

TEST_F(Serve, TestFansIsAnsweredOnceControlledAndEndsByItself) {
    const auto reply = ask({{"command", "test-fans"}});
    // Answered only after the first targets were written and read back.
    const auto during = mac.state();
    EXPECT_TRUE(allFansManual(during)) << during.at("fans").dump();
    EXPECT_EQ(during.at("ftst").get<int>(), 1);

    EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
    EXPECT_EQ(reply.value("message", ""), kConfirmed);
    EXPECT_EQ(reply.value("label", ""), "风扇验证");
    EXPECT_EQ(reply.value("profile", ""), "custom");
    EXPECT_TRUE(isSessionIdentifier(reply.value("session", Json()))) << reply.dump();
    ASSERT_TRUE(reply.contains("fanStatus")) << reply.dump();
    const auto& status = reply.at("fanStatus");
    EXPECT_GT(status.at("remainingSeconds").get<double>(), 0);
    EXPECT_LE(status.at("remainingSeconds").get<double>(), 5);
    EXPECT_EQ(status.at("protectionActive"), false);
    ASSERT_EQ(status.at("targets").size(), during.at("fans").size());
    for (size_t n = 0; n < during.at("fans").size(); ++n) {
        EXPECT_EQ(status.at("targets")[n].at("id").get<int>(), static_cast<int>(n));
        EXPECT_EQ(status.at("targets")[n].at("rpm").get<double>(),
                  during.at("fans")[n].at("maximum").get<double>());
    }

    const auto answered = Clock::now();
    expectIdle(pollStatus([](const Json& r) { return r.value("message", "") == kSystemManaged; }));
    EXPECT_LT(secondsSince(answered), 9.0);
    expectHandedBack();
    session->process().closeInput();
    EXPECT_EQ(finish().status, 0);
}

TEST_F(Serve, ProfileDefaultsAndASecondProfileReplacesTheFirst) {
    const double automaticMode = mac.state().at("fans")[0].at("mode").get<double>();
    const auto first = ask(customProfile());
    EXPECT_EQ(first.value("ok", false), true) << first.dump();
    EXPECT_EQ(first.value("label", ""), "自定义");
    EXPECT_EQ(first.value("profile", ""), "custom");
    ASSERT_TRUE(first.contains("fanStatus")) << first.dump();
    const double remaining = first.at("fanStatus").at("remainingSeconds").get<double>();
    EXPECT_GT(remaining, 1780);
    EXPECT_LE(remaining, 1800);

    ASSERT_TRUE(mac.control({{"op", "reset-counts"}}).at("ok").get<bool>());
    auto second = customProfile();
    second["label"] = "夜间";
    second["duration"] = 60;
    const auto replaced = ask(second);
    EXPECT_EQ(replaced.value("ok", false), true) << replaced.dump();
    EXPECT_EQ(replaced.value("label", ""), "夜间");
    EXPECT_TRUE(isSessionIdentifier(replaced.value("session", Json())));
    EXPECT_NE(replaced.value("session", ""), first.value("session", ""));
    ASSERT_TRUE(replaced.contains("fanStatus")) << replaced.dump();
    EXPECT_LE(replaced.at("fanStatus").at("remainingSeconds").get<double>(), 60);
    EXPECT_GT(replaced.at("fanStatus").at("remainingSeconds").get<double>(), 40);

    // The first lease handed fan 0 back to its automatic mode before the second took it again.
    const auto state = mac.state();
    EXPECT_TRUE(allFansManual(state)) << state.at("fans").dump();
    bool handedBack = false, retaken = false;
    for (const auto& entry : state.at("log")) {
        if (entry.at("key") != "F0Md" || !entry.contains("value") || entry.at("result") != 0)
            continue;
        if (entry.at("value").get<double>() == automaticMode) handedBack = true;
        if (handedBack && entry.at("value").get<double>() == 1) retaken = true;
    }
    EXPECT_TRUE(handedBack && retaken) << state.at("log").dump();

    const auto status = ask({{"command", "status"}});
    EXPECT_EQ(status.value("session", ""), replaced.value("session", ""));
    EXPECT_EQ(status.value("message", ""), kConfirmed);

    // "auto" stops the running curve and hands every fan back at once.
    expectIdle(ask({{"command", "auto"}}));
    expectHandedBack();
    expectIdle(ask({{"command", "shutdown"}}));
    EXPECT_EQ(finish().status, 0);
    expectHandedBack();
}

TEST_F(Serve, AStolenFanStopsTheCurveUntilAuto) {
    ASSERT_EQ(ask(customProfile()).value("ok", false), true);
    awaitControl();
    fault({{"kind", "steal-fan"}, {"fan", 0}});
    const auto failed = pollStatus([](const Json& r) { return !r.value("ok", true); });
    expectErrorReply(failed, kCurveStopped);
    expectHandedBack();
    ASSERT_TRUE(mac.control({{"op", "clear-faults"}}).at("ok").get<bool>());
    expectIdle(ask({{"command", "auto"}}));
    expectIdle(ask({{"command", "status"}}));
    expectHandedBack();
    EXPECT_EQ(ask({{"command", "shutdown"}}).value("ok", false), true);
    EXPECT_EQ(finish().status, 0);
}

TEST_F(Serve, AFailedRestoreBlocksNewSessionsUntilAutoSucceeds) {
    ASSERT_EQ(ask(customProfile()).value("ok", false), true);
    awaitControl();
    // Fan 1 is taken away, so the curve stops; handing fan 0 back is then refused.
    fault({{"kind", "refuse-write"}, {"key", "F0Md"}});
    fault({{"kind", "steal-fan"}, {"fan", 1}});
    const auto failed = pollStatus([](const Json& r) { return !r.value("ok", true); });
    const std::string text = failed.value("message", "");
    EXPECT_NE(text.find(kCurveStopped), std::string::npos) << text;
    EXPECT_NE(text.find(kRestoreFailed), std::string::npos) << text;
    expectErrorReply(failed, text);

    const auto writesBefore = writeCount(mac.state());
    expectErrorReply(ask({{"command", "test-fans"}}), text);
    expectErrorReply(ask(customProfile()), text);
    expectErrorReply(ask({{"command", "shutdown"}}), text);  // refused, and the session goes on
    EXPECT_EQ(writeCount(mac.state()), writesBefore) << "a blocked request touched the fans";

    const auto stillRefused = ask({{"command", "auto"}});
    EXPECT_EQ(stillRefused.value("ok", true), false);
    EXPECT_NE(stillRefused.value("message", "").find(kRestoreFailed), std::string::npos)
        << stillRefused.dump();

    ASSERT_TRUE(mac.control({{"op", "clear-faults"}}).at("ok").get<bool>());
    expectIdle(ask({{"command", "auto"}}));
    expectHandedBack();
    expectIdle(ask({{"command", "shutdown"}}));
    EXPECT_EQ(finish().status, 0);
}

TEST_F(Serve, RefusesPowerTurboAndBuiltInProfilesAndGoesOn) {
    const Json plan = {{"source", "ac"},
                       {"scope", "current"},
                       {"lowPower", false},
                       {"disableTurbo", false},
                       {"displayMinutes", 5}};
    expectErrorReply(ask({{"command", "turbo-disable"}}), kRefused);
    expectErrorReply(ask({{"command", "power-optimize"}, {"powerPlan", plan}}), kRefused);
    expectErrorReply(ask({{"command", "profile"}, {"profile", "quiet"}}), kRefused);
    expectIdle(ask({{"command", "status"}}));
    EXPECT_EQ(writeCount(mac.state()), 0u);
    session->process().closeInput();
    EXPECT_EQ(finish().status, 0);
}

TEST_F(Serve, AnswersMalformedRequestsWithAnErrorAndGoesOn) {
    const std::pair<std::string, std::string> lines[] = {
        {"not json", ""},
        {"", ""},
        {"[1,2]", ""},
        {"{}", ""},
        {R"({"command":5})", ""},
        {R"({"command":"status","duration":"long"})", ""},
        {R"({"command":"status","label":["a"]})", ""},
        {R"({"command":"reboot"})", "未知控制命令"},
        {R"({"command":"status","duration":0})", "无效控制时长"},
        {R"({"command":"profile","profile":"custom"})", "缺少曲线"},
        {R"({"command":"profile","profile":"automatic"})", "无效模式"},
        {R"({"command":"profile","profile":"custom","curve":{"points":[],"sensor":"CPU"}})", ""},
    };
    for (const auto& [line, message] : lines) {
        SCOPED_TRACE(line);
        const auto reply = session->requestLine(line);
        ASSERT_TRUE(reply.is_object());
        expectErrorReply(reply, message);
    }
    // Two requests in one write come back as two replies, in order.
    ASSERT_TRUE(session->process().write(R"({"command":"hello"})"
                                         "\n"
                                         R"({"command":"reboot"})"
                                         "\n"));
    const auto one = session->process().readLine(30);
    const auto two = session->process().readLine(30);
    ASSERT_TRUE(one && two);
    expectIdle(Json::parse(*one));
    expectErrorReply(Json::parse(*two), "未知控制命令");
    // Long lines that are not JSON get a short Chinese error within the reply limit (a reply
    // quoting the line could not even be sent); the session goes on.
    for (const std::string& line : {"\"" + std::string(5000, 'x'), std::string(16383, 'x'),
                                    "{\"command\":\"" + std::string(16000, 'y')}) {
        ASSERT_TRUE(session->process().sendLine(line));
        const auto raw = session->process().readLine(30);
        ASSERT_TRUE(raw) << "the session ended";
        EXPECT_LT(raw->size(), 4096u);
        const auto reply = Json::parse(*raw, nullptr, false);
        expectErrorReply(reply);
        EXPECT_EQ(reply.value("message", "").rfind("JSON 解码失败：控制消息不是有效的 JSON（", 0),
                  0u)
            << *raw;
    }
    // The longest line a sender may send (16383 bytes and its newline) is still read.
    std::string longest = R"({"command":"status"})";
    longest.resize(16383, ' ');
    expectIdle(session->requestLine(longest));
    expectIdle(ask({{"command", "status"}}));
    EXPECT_EQ(writeCount(mac.state()), 0u);
    expectIdle(ask({{"command", "shutdown"}}));
    EXPECT_EQ(finish().status, 0);
}

TEST_F(Serve, AnOversizedLineEndsTheSessionAndHandsTheFansBack) {
    ASSERT_EQ(ask(customProfile()).value("ok", false), true);
    session->process().write(std::string(16384, 'x'));
    const auto r = finish();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "控制消息过长\n");
    expectHandedBack();
}

struct Ending {
    const char* name;
    std::function<void(Serve&)> act;
    const char* lastOutput;  // what follows the profile's reply on standard output
};

void PrintTo(const Ending& ending, std::ostream* os) {
    *os << ending.name;
}

class ServeEndings : public Serve, public ::testing::WithParamInterface<Ending> {};

// A running curve session ends with exit status 0 and the fans handed back, promptly,
// whatever ended it.
TEST_P(ServeEndings, StopTheLeaseAndExitNormally) {
    ASSERT_EQ(ask(customProfile()).value("ok", false), true);
    const auto start = Clock::now();
    GetParam().act(*this);
    EXPECT_TRUE(waitForDevice(mac, allFansAutomatic, 15));
    EXPECT_LT(secondsSince(start), 4.0) << "the fans came back late";
    const auto r = finish();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    if (GetParam().lastOutput[0] != '\0') {
        expectIdle(Json::parse(r.out.substr(0, r.out.find('\n'))));
    } else {
        EXPECT_EQ(r.out, "");
    }
    expectHandedBack();
}

INSTANTIATE_TEST_SUITE_P(
    Serve, ServeEndings,
    ::testing::Values(Ending{"OwnerExits", [](Serve& s) { s.owner.exit(); }, ""},
                      Ending{"EndOfInput", [](Serve& s) { s.session->process().closeInput(); }, ""},
                      Ending{"EndOfInputMidLine",
                             [](Serve& s) {
                                 s.session->process().write(R"({"command":"sta)");
                                 s.session->process().closeInput();
                             },
                             ""},
                      Ending{"SIGTERM", [](Serve& s) { s.session->process().signal(SIGTERM); }, ""},
                      Ending{"SIGHUP", [](Serve& s) { s.session->process().signal(SIGHUP); }, ""},
                      Ending{"Shutdown",
                             [](Serve& s) {
                                 s.session->process().sendLine(R"({"command":"shutdown"})");
                             },
                             "reply"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Identity {
    const char* name;
    // Arguments after "serve" and the real uid, given the live owner's pid.
    std::function<std::vector<std::string>(const std::string& ownerPid)> argv;
};

void PrintTo(const Identity& identity, std::ostream* os) {
    *os << identity.name;
}

class ServeIdentity : public ::testing::TestWithParam<Identity> {};

// A pid that belonged to a process which has exited and been reaped.
std::string exitedPid() {
    BackgroundProcess gone({"/bin/true"});
    const auto pid = std::to_string(gone.pid());
    gone.wait(10);
    return pid;
}

TEST_P(ServeIdentity, IsRefusedBeforeAnyFanIsTouched) {
    VirtualMac mac;
    OwnerProcess owner;
    auto options = deviceOptions(mac);
    options.input = R"({"command":"test-fans"})"
                    "\n";
    const auto r = runProcess(GetParam().argv(owner.pidText()), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kIdentity);
    EXPECT_EQ(writeCount(mac.state()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Serve, ServeIdentity,
    ::testing::Values(
        Identity{"RealUidIsNotTheGivenUid",
                 [](const std::string& pid) { return serveArguments(pid, "1000", 1001); }},
        Identity{"OwnerOfAnotherUser",
                 [](const std::string& pid) { return serveArguments(pid, "1001", 1001); }},
        Identity{"OwnerExited",
                 [](const std::string&) { return serveArguments(exitedPid(), "1000"); }},
        Identity{"UidZero", [](const std::string& pid) { return serveArguments(pid, "0", 0); }},
        Identity{"PidNotANumber", [](const std::string&) { return serveArguments("abc", "1000"); }},
        Identity{"PidWithTrailingText",
                 [](const std::string& pid) { return serveArguments(pid + "x", "1000"); }},
        Identity{"UidNotANumber",
                 [](const std::string& pid) { return serveArguments(pid, "user"); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
