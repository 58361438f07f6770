// The guardian under the hard faults, end to end: the real helper and its guardian against a
// real virtual Mac, one table of device faults × moments of the helper's end. Whatever the
// fault, the fans come back (every fan automatic, "Ftst" 0) within 10 seconds of the device
// answering again; a lease started at once waits for the guardian instead of fighting it; a
// frozen helper is ended at its lease's deadline; and the user's account cannot stop the
// guardian. Every process, the guardians included, is waited for before a test ends.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/Descendants.hpp"
#include "support/LeaseScenario.hpp"

namespace {

using namespace pyrelle::testing;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kHelperName = "PyrelleHelper";
constexpr const char* kCoolingDone = "散热会话结束，已确认风扇恢复系统自动。\n";
constexpr double kAfterAnswering = 10;  // seconds the fans may take once the device answers

bool allAtMaximum(const Json& state) {
    for (const auto& fan : state.at("fans")) {
        if (!fan.at("manual").get<bool>() ||
            fan.at("target").get<double>() != fan.at("maximum").get<double>()) {
            return false;
        }
    }
    return true;
}

enum class Moment {
    killed,               // SIGKILL while the fault holds
    killedThenCooling,    // SIGKILL, then a cooling run at once
    frozen,               // SIGSTOP, never continued
    userSignalsGuardian,  // the owner's account tries to stop and kill the guardian, then SIGKILL
    guardianKilled        // root kills the guardian, then the run is asked to stop as usual
};

struct Row {
    const char* name;
    const char* command;  // "cooling", "test-fans" or "serve"
    Json fault;           // injected while the helper holds the fans; null for none
    double stall;         // seconds the device stays silent after the fault
    Moment moment;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class GuardianFaults : public ::testing::TestWithParam<Row> {
protected:
    VirtualMac mac{"apple-m4-pro"};
    OwnerProcess owner;
    Token token;

    static void SetUpTestSuite() { adoptOrphans(); }
    void TearDown() override {
        EXPECT_TRUE(reapAdopted(kHelperName, 15)) << "a guardian was still running";
    }

    std::vector<std::string> oneShot(const std::string& command) const {
        return {helperPath(), command, owner.pidText(), std::to_string(kOwnerUid), token.text()};
    }
};

TEST_P(GuardianFaults, FansComeBackAndNothingFightsTheGuardian) {
    const Row& row = GetParam();
    const bool served = std::string(row.command) == "serve";
    const auto spawned = Clock::now();
    std::unique_ptr<BackgroundProcess> oneShotRun;
    std::unique_ptr<ServeSession> session;
    if (served) {
        session = std::make_unique<ServeSession>(mac, owner.pidText(), std::to_string(kOwnerUid));
        const Json reply = session->request(
            {{"command", "profile"}, {"profile", "custom"}, {"curve", threePointCurve()}});
        ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    } else {
        oneShotRun = std::make_unique<BackgroundProcess>(oneShot(row.command), deviceOptions(mac));
    }
    const pid_t helper = served ? session->process().pid() : oneShotRun->pid();
    const auto signal = [&](int number) { kill(helper, number); };
    const auto finish = [&](double seconds) {
        return served ? session->process().wait(seconds) : oneShotRun->wait(seconds);
    };
    awaitFansTaken(mac);

    if (!row.fault.is_null()) injectFault(mac, row.fault);
    auto answering = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(row.stall));
    switch (row.moment) {
        case Moment::killed: {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));  // inside the fault
            signal(SIGKILL);
            break;
        }
        case Moment::killedThenCooling: {
            signal(SIGKILL);
            BackgroundProcess cooling(oneShot("cooling"), deviceOptions(mac));
            EXPECT_TRUE(waitForDevice(mac, allAtMaximum, 20)) << mac.state().at("fans").dump();
            token.requestStop();
            const auto r = cooling.wait(30);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, kCoolingDone) << r.err;
            answering = Clock::now();
            break;
        }
        case Moment::frozen: {
            signal(SIGSTOP);
            // The lease's deadline is 5 s after the helper started, at the earliest, and the
            // fans are due back within 5 s of it.
            answering = spawned;
            break;
        }
        case Moment::userSignalsGuardian: {
            const auto guardians = childrenNamed(helper, kHelperName);
            ASSERT_EQ(guardians.size(), 1u);
            for (const char* name : {"STOP", "TERM", "KILL"}) {
                const auto r = runProcess({"/usr/bin/setpriv", "--reuid", std::to_string(kOwnerUid),
                                           "--regid", std::to_string(kOwnerUid), "--clear-groups",
                                           "/bin/kill", "-s", name, std::to_string(guardians[0])});
                EXPECT_NE(r.status, 0) << "the owner's account could send SIG" << name;
            }
            EXPECT_EQ(kill(guardians[0], 0), 0) << "the guardian is gone";
            signal(SIGKILL);
            answering = Clock::now();
            break;
        }
        case Moment::guardianKilled: {
            const auto guardians = childrenNamed(helper, kHelperName);
            ASSERT_EQ(guardians.size(), 1u);
            kill(guardians[0], SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            token.requestStop();
            answering = Clock::now();
            break;
        }
    }

    const double bound =
        std::chrono::duration<double>(answering - Clock::now()).count() + kAfterAnswering;
    const bool back = waitForDevice(mac, handedBack, std::max(bound, 0.0));
    const auto state = mac.state();
    EXPECT_TRUE(back) << state.at("fans").dump() << " ftst " << state.at("ftst") << " after "
                      << secondsSince(spawned) << " s";
    const auto r = finish(15);
    if (row.moment == Moment::guardianKilled) {
        // A guardian that has gone changes nothing in what the run reports.
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kCoolingDone);
        EXPECT_EQ(r.err, "");
        return;
    }
    EXPECT_EQ(r.status, 128 + SIGKILL) << r.err;
    if (row.moment == Moment::frozen) {
        EXPECT_NE(r.err.find("风扇会话超过时限仍未结束"), std::string::npos) << r.err;
    }
}

Json kernelErrors(int count) {
    return {{"kind", "kernel-error"}, {"count", count}};
}

Json stall(double seconds) {
    return {{"kind", "stall"}, {"seconds", seconds}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, GuardianFaults,
    ::testing::Values(
        Row{"ThreeKernelErrorsPendingAtKill", "cooling", kernelErrors(3), 0, Moment::killed},
        Row{"EightSecondStallAtKill", "cooling", stall(8), 8, Moment::killed},
        Row{"ThirtySecondStallAtServeKill", "serve", stall(30), 30, Moment::killed},
        Row{"ServeKilledMidCurveThenCooling", "serve", nullptr, 0, Moment::killedThenCooling},
        Row{"FrozenTestFans", "test-fans", nullptr, 0, Moment::frozen},
        Row{"OwnerAccountCannotSignalTheGuardian", "serve", nullptr, 0,
            Moment::userSignalsGuardian},
        Row{"GuardianKilledByRootMidCooling", "cooling", nullptr, 0, Moment::guardianKilled}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
