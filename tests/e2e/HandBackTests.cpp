// The fans always come back: a helper killed outright, a device that stumbles during a run or
// during the hand-back, and a control session whose hand-back fails however it ends. The real
// helper and its guardian drive a real virtual Mac; every process, the guardian included, is
// waited for before a test ends.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "pyrelle/Base64.hpp"
#include "support/Descendants.hpp"
#include "support/LeaseScenario.hpp"

namespace {

using namespace pyrelle::testing;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kRestoreFailed = "恢复自动风扇失败";
constexpr const char* kHelperName = "PyrelleHelper";

// One helper run of any kind: a one-shot lease, or `serve` running a curve.
class HelperRun {
public:
    virtual ~HelperRun() = default;
    virtual void signal(int number) = 0;
    virtual void stop() = 0;  // the ordinary way to end it early
    virtual ProcessResult wait(double seconds) = 0;
};

class OneShot final : public HelperRun {
public:
    OneShot(const std::vector<std::string>& argv, const VirtualMac& mac, const Token& token)
        : process_(argv, deviceOptions(mac)), token_(token) {}
    void signal(int number) override { process_.signal(number); }
    void stop() override { token_.requestStop(); }
    ProcessResult wait(double seconds) override { return process_.wait(seconds); }

private:
    BackgroundProcess process_;
    const Token& token_;
};

class Served final : public HelperRun {
public:
    Served(const VirtualMac& mac, const OwnerProcess& owner)
        : session_(mac, owner.pidText(), std::to_string(kOwnerUid)) {
        const Json reply = session_.request(
            {{"command", "profile"}, {"profile", "custom"}, {"curve", threePointCurve()}});
        EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
    }
    void signal(int number) override { session_.process().signal(number); }
    void stop() override { session_.process().closeInput(); }
    ProcessResult wait(double seconds) override { return session_.process().wait(seconds); }

private:
    ServeSession session_;
};

struct HandBack : ::testing::Test {
    VirtualMac mac{"apple-m4-pro"};
    OwnerProcess owner;
    Token token;

    static void SetUpTestSuite() { adoptOrphans(); }

    // Every run's guardian ends by itself within its bound once its helper is gone.
    void TearDown() override {
        EXPECT_TRUE(reapAdopted(kHelperName, 15)) << "a guardian was still running";
    }

    std::unique_ptr<HelperRun> start(const std::string& command) {
        if (command == "serve") return std::make_unique<Served>(mac, owner);
        std::vector<std::string> argv = {helperPath(), command};
        if (command == "profile") argv.push_back("custom");
        for (const auto& word : {owner.pidText(), std::to_string(kOwnerUid), token.text()}) {
            argv.push_back(word);
        }
        if (command == "profile") argv.push_back(pyrelle::Base64::encode(threePointCurve().dump()));
        return std::make_unique<OneShot>(argv, mac, token);
    }

    void fault(nlohmann::json request) const { injectFault(mac, std::move(request)); }

    void awaitControl() const { awaitFansTaken(mac); }
};

class KilledHelper : public HandBack, public ::testing::WithParamInterface<std::string> {};

// SIGKILL leaves the helper no chance to restore anything: its guardian hands every fan back,
// and "Ftst" too, within 3 seconds.
TEST_P(KilledHelper, FansComeBackWithinThreeSeconds) {
    auto run = start(GetParam());
    awaitControl();
    run->signal(SIGKILL);
    const auto killed = Clock::now();
    const bool back = waitForDevice(mac, handedBack, 3);
    const double took = secondsSince(killed);
    EXPECT_TRUE(back) << mac.state().at("fans").dump() << " ftst " << mac.state().at("ftst");
    EXPECT_LT(took, 3.0);
    const auto r = run->wait(10);
    EXPECT_EQ(r.status, 128 + SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Guardian, KilledHelper,
                         ::testing::Values("test-fans", "cooling", "profile", "serve"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

struct Transient {
    const char* name;
    const char* command;  // "test-fans", "cooling", "profile" or "serve"
    Json fault;
    bool atHandBack;  // injected as the run is asked to end, so the hand-back meets it
};

void PrintTo(const Transient& c, std::ostream* os) {
    *os << c.name;
}

class TransientFaults : public HandBack, public ::testing::WithParamInterface<Transient> {};

// A passing fault, during the run or during the hand-back, ends with every fan automatic and
// "Ftst" at 0; only a fault that persists may end in a failed hand-back (see below).
TEST_P(TransientFaults, EndWithEveryFanAutomatic) {
    const auto& c = GetParam();
    auto run = start(c.command);
    awaitControl();
    fault(c.fault);
    if (c.atHandBack) {
        run->stop();
    } else {
        // The fault meets the running lease; a lease it did not stop is then ended as usual.
        std::this_thread::sleep_for(std::chrono::seconds(4));
        run->stop();
    }
    const auto r = run->wait(30);
    EXPECT_FALSE(r.timedOut);
    // A passing fault is absorbed by the helper's own bounded retries: the fans are back
    // before its guardian could have done anything, and no failed hand-back is reported. The
    // run itself may still have been stopped by the fault (exit status 1 and its reason).
    const auto after = mac.state();
    EXPECT_TRUE(handedBack(after)) << after.at("fans").dump() << " ftst " << after.at("ftst");
    EXPECT_EQ(r.err.find(kRestoreFailed), std::string::npos) << r.err;
    EXPECT_EQ(r.status == 0, r.err.empty()) << r.status << " " << r.err;
    EXPECT_TRUE(reapAdopted(kHelperName, 15));
    EXPECT_TRUE(handedBack(mac.state())) << mac.state().at("fans").dump();
}

Json kernelErrors(int count) {
    return {{"kind", "kernel-error"}, {"count", count}};
}

INSTANTIATE_TEST_SUITE_P(
    Device, TransientFaults,
    ::testing::Values(
        Transient{"DropDuringCooling", "cooling", {{"kind", "drop-connection"}}, false},
        Transient{"DropAtCurveHandBack", "profile", {{"kind", "drop-connection"}}, true},
        Transient{"DropDuringServe", "serve", {{"kind", "drop-connection"}}, false},
        Transient{"OneKernelErrorDuringCurve", "profile", kernelErrors(1), false},
        Transient{"TwoKernelErrorsAtCoolingHandBack", "cooling", kernelErrors(2), true},
        Transient{"ThreeKernelErrorsDuringServe", "serve", kernelErrors(3), false},
        Transient{"FourKernelErrorsAtServeHandBack", "serve", kernelErrors(4), true},
        Transient{"FiveKernelErrorsDuringCooling", "cooling", kernelErrors(5), false},
        Transient{"SixKernelErrorsAtCurveHandBack", "profile", kernelErrors(6), true},
        Transient{"StallDuringCooling", "cooling", {{"kind", "stall"}, {"seconds", 2.5}}, false},
        Transient{"StallAtServeHandBack", "serve", {{"kind", "stall"}, {"seconds", 2.5}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct Ending {
    const char* name;
    std::function<void(HelperRun&, OwnerProcess&)> act;
};

void PrintTo(const Ending& ending, std::ostream* os) {
    *os << ending.name;
}

class FailedServeHandBack : public HandBack, public ::testing::WithParamInterface<Ending> {};

// However a session ends, a hand-back that fails is reported on standard error with exit
// status 1, never as a clean end.
TEST_P(FailedServeHandBack, IsReportedWithExitStatusOne) {
    auto run = start("serve");
    awaitControl();
    fault({{"kind", "refuse-write"}, {"key", "F0Md"}});
    GetParam().act(*run, owner);
    const auto r = run->wait(30);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(kRestoreFailed), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("F0Md"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    ASSERT_TRUE(mac.control({{"op", "clear-faults"}}).at("ok").get<bool>());
    reapAdopted(kHelperName, 15);  // its guardian may or may not outlast the fault
    const auto mended = runProcess({helperPath(), "auto"}, deviceOptions(mac));
    EXPECT_EQ(mended.status, 0) << mended.err;
    EXPECT_TRUE(handedBack(mac.state()));
}

INSTANTIATE_TEST_SUITE_P(
    Serve, FailedServeHandBack,
    ::testing::Values(Ending{"EndOfInput", [](HelperRun& run, OwnerProcess&) { run.stop(); }},
                      Ending{"OwnerExits", [](HelperRun&, OwnerProcess& owner) { owner.exit(); }},
                      Ending{"SIGTERM",
                             [](HelperRun& run, OwnerProcess&) { run.signal(SIGTERM); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Fans forced by a helper that was killed together with its guardian (the one case the
// guardian cannot cover): a new session's "status" does not call them system-managed, and its
// "auto" hands them back.
TEST_F(HandBack, ANewSessionReportsFansLeftForcedUntilAuto) {
    {
        BackgroundProcess helper(
            {helperPath(), "cooling", owner.pidText(), std::to_string(kOwnerUid), token.text()},
            deviceOptions(mac));
        awaitControl();
        const auto guardians = childrenNamed(helper.pid(), kHelperName);
        ASSERT_EQ(guardians.size(), 1u);
        kill(guardians[0], SIGKILL);
        helper.signal(SIGKILL);
        helper.wait(10);
    }
    EXPECT_TRUE(reapAdopted(kHelperName, 5));
    ASSERT_FALSE(allFansAutomatic(mac.state()));

    ServeSession session(mac, owner.pidText(), std::to_string(kOwnerUid));
    const Json status = session.request({{"command", "status"}});
    EXPECT_EQ(status.value("ok", true), false) << status.dump();
    EXPECT_NE(status.value("message", ""), "风扇由系统管理");
    const Json handBack = session.request({{"command", "auto"}});
    EXPECT_EQ(handBack.value("ok", false), true) << handBack.dump();
    EXPECT_EQ(handBack.value("message", ""), "风扇由系统管理");
    EXPECT_TRUE(handedBack(mac.state()));
    session.process().closeInput();
    EXPECT_EQ(session.process().wait(20).status, 0);
}

}  // namespace

namespace {

// A session whose device connection dropped opens a new one: "auto" still reads the fans.
TEST_F(HandBack, ASessionReconnectsAfterADroppedConnection) {
    ServeSession session(mac, owner.pidText(), std::to_string(kOwnerUid));
    ASSERT_EQ(session.request({{"command", "hello"}}).value("ok", false), true);
    fault({{"kind", "drop-connection"}});
    session.request({{"command", "status"}});  // its fan read meets the drop
    const Json handBack = session.request({{"command", "auto"}});
    EXPECT_EQ(handBack.value("ok", false), true) << handBack.dump();
    EXPECT_EQ(handBack.value("message", ""), "风扇由系统管理");
    session.process().closeInput();
    EXPECT_EQ(session.process().wait(20).status, 0);
}

}  // namespace

namespace {

// The desktop application may kill the helper's whole process group; the guardian lives in a
// session of its own and still hands the fans back.
TEST_F(HandBack, AKillOfTheHelpersProcessGroupSparesItsGuardian) {
    // The test support starts every child as the leader of its own process group.
    BackgroundProcess helper(
        {helperPath(), "cooling", owner.pidText(), std::to_string(kOwnerUid), token.text()},
        deviceOptions(mac));
    awaitControl();
    ASSERT_EQ(getpgid(helper.pid()), helper.pid()) << "the helper leads its own group";
    kill(-helper.pid(), SIGKILL);
    EXPECT_TRUE(waitForDevice(mac, handedBack, 3)) << mac.state().at("fans").dump();
    EXPECT_EQ(helper.wait(10).status, 128 + SIGKILL);
}

}  // namespace
