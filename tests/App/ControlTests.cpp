// Kilnview's control side in-process: the control state derived from the fans as read (and
// the exit status decided by the same rules), and HelperClient against a scripted stand-in
// for the helper, under a fake clock: how a lease ends (its bound passed, its helper frozen,
// stopped or killed) and the helper's words heard until its standard error closes.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Control/ControlTruth.hpp"
#include "Control/HelperClient.hpp"
#include "Control/PrivilegeSeparation.hpp"
#include "support/Descendants.hpp"
#include "support/Eventually.hpp"

namespace {

using namespace kilnview;
using namespace pyrelle;
using pyrelle::testing::eventually;

Snapshot fans(std::vector<std::optional<bool>> manual, bool smc = true) {
    Snapshot snapshot;
    snapshot.smcAvailable = smc;
    for (std::size_t i = 0; i < manual.size(); ++i)
        snapshot.fans.push_back({static_cast<int>(i), 2000, 1200, 5000, manual[i], true});
    return snapshot;
}

ControlView lease() {
    ControlView view;
    view.session = "S";
    view.mode = "e2e";
    view.remainingSeconds = 30;
    view.targets[0] = 3000;
    return view;
}

TEST(ControlTruth, TheControlStateIsTheFansAsRead) {
    struct Row {
        const char* name;
        ControlView reported;
        std::optional<Snapshot> latest;
        std::string mode;
        bool alert;
    };
    ControlView cooling;
    cooling.cooling = true;
    cooling.mode = "散热";
    ControlView failed;
    failed.failure = "恢复自动风扇失败：SMC F0Md 写入失败";
    const std::vector<Row> rows = {
        {"no lease, fans automatic", {}, fans({false, false}), kAutomaticMode, false},
        {"no lease, one fan manual", {}, fans({false, true}), kManualMode, true},
        {"failed hand-back, fan manual", failed, fans({true, true}), kManualMode, true},
        {"no lease, a mode unreadable",
         {},
         fans({false, std::nullopt}),
         ControlTruth::kUnknownMode,
         false},
        {"no lease, no SMC", {}, fans({}, false), ControlTruth::kUnknownMode, false},
        {"no lease, no sample yet", {}, std::nullopt, ControlTruth::kUnknownMode, false},
        {"no lease, fanless", {}, fans({}), kAutomaticMode, false},
        {"lease, fans manual", lease(), fans({true, true}), "e2e", false},
        {"lease, fans not yet manual", lease(), fans({false, false}), "e2e", false},
        {"cooling run", cooling, fans({true, true}), "散热", false},
    };
    for (const Row& row : rows) {
        const ControlView shown =
            ControlTruth::derive(row.reported, row.latest ? &*row.latest : nullptr);
        EXPECT_EQ(shown.mode, row.mode) << row.name;
        EXPECT_EQ(shown.alert.has_value(), row.alert) << row.name;
        EXPECT_EQ(shown.failure, row.reported.failure) << row.name;
        // Targets and time left belong to a running lease only.
        EXPECT_EQ(shown.targets.empty(), !row.reported.session) << row.name;
    }
}

TEST(ControlTruth, ExitsZeroOnlyWhenTheFansReadAutomatic) {
    struct Row {
        const char* name;
        ActionResult ended;
        Snapshot fresh;
        bool droveFans;
        std::optional<std::string> problem;
    };
    const ActionResult handedBack = ActionResult::success(kAutomaticMode);
    const ActionResult failed = ActionResult::failure("恢复自动风扇失败：x");
    const std::vector<Row> rows = {
        {"handed back", handedBack, fans({false, false}), true, std::nullopt},
        {"failed, then a guardian finished", failed, fans({false, false}), true, std::nullopt},
        {"failed, fan manual", failed, fans({true, false}), true, "恢复自动风扇失败：x"},
        {"someone else's manual fan", handedBack, fans({true}), false, ControlTruth::kLeftManual},
        {"unreadable after driving", handedBack, fans({}, false), true, "unreadable"},
        {"unreadable, never drove", handedBack, fans({}, false), false, std::nullopt},
    };
    for (const Row& row : rows) {
        const auto problem = ControlTruth::exitProblem(row.ended, row.fresh, row.droveFans);
        EXPECT_EQ(problem.has_value(), row.problem.has_value()) << row.name;
        if (problem && row.problem && *row.problem != "unreadable") {
            EXPECT_EQ(*problem, *row.problem) << row.name;
        }
    }
}

TEST(PrivilegeSeparation, ChoosesAnOrdinaryUserOrRefuses) {
    struct Row {
        const char* name;
        uid_t real;
        const char* sudoUid;
        const char* sudoGid;
        std::optional<std::string> user;
        std::optional<uid_t> uid;  // absent: refused
        std::optional<gid_t> gid;
    };
    const std::vector<Row> rows = {
        {"real uid of a setpriv start", 1234, nullptr, nullptr, std::nullopt, 1234, 1234},
        {"sudo user and group", 0, "1234", "1300", std::nullopt, 1234, 1300},
        {"sudo user, group from the uid", 0, "1234", nullptr, std::nullopt, 1234, 1234},
        {"--user by number", 0, nullptr, nullptr, "1234", 1234, 1234},
        {"--user over the real uid", 1234, nullptr, nullptr, "1300", 1300, 1300},
        {"plain root", 0, nullptr, nullptr, std::nullopt, std::nullopt, std::nullopt},
        {"sudo by root", 0, "0", nullptr, std::nullopt, std::nullopt, std::nullopt},
        {"malformed SUDO_UID", 0, "12x", nullptr, std::nullopt, std::nullopt, std::nullopt},
        {"--user root", 0, nullptr, nullptr, "root", std::nullopt, std::nullopt},
        {"--user nobody", 0, nullptr, nullptr, "nobody", std::nullopt, std::nullopt},
        {"real uid nobody", 65534, nullptr, nullptr, std::nullopt, std::nullopt, std::nullopt},
        {"unknown --user", 0, nullptr, nullptr, "no-such-user-of-pyrelle", std::nullopt,
         std::nullopt},
    };
    for (const Row& row : rows) {
        const UserChoice choice = chooseUser(row.real, row.sudoUid, row.sudoGid, row.user);
        EXPECT_EQ(choice.problem.empty(), row.uid.has_value())
            << row.name << ": " << choice.problem;
        if (!row.uid) continue;
        EXPECT_EQ(choice.uid, *row.uid) << row.name;
        // Without an account entry the group is the uid's own number, never a shared one.
        if (!::getpwuid(*row.uid)) {
            EXPECT_EQ(choice.gid, *row.gid) << row.name;
        }
    }
}

// A stand-in for `PyrelleHelper serve`: answers every request with a running five-second
// test lease, writes its pid where the test says, and on its stop signal says it could not
// hand back — and a child of it (as a guardian would) says so again a moment later, after
// the stand-in is gone.
constexpr const char* kServe = R"(#!/bin/bash
echo $$ > "$KILNVIEW_TEST_PID"
trap 'echo "恢复自动风扇失败：helper" >&2; (sleep 0.3; echo "恢复自动风扇失败：guardian" >&2) </dev/null >/dev/null & exit 1' TERM
while read -r line; do
  echo '{"ok":true,"message":"控制已确认生效","session":"S","label":"风扇验证","fanStatus":{"remainingSeconds":5,"targets":[{"id":0,"rpm":5000}],"protectionActive":false}}'
done
)";

struct LeaseEnding {
    const char* name;
    std::function<void(pid_t, double&)> act;  // on the stand-in's pid and the fake clock
    std::string firstWord;                    // in the failure Kilnview shows first
    bool guardianHeard;                       // the late word follows
};

class HelperClientEnding : public ::testing::TestWithParam<LeaseEnding> {
protected:
    void SetUp() override {
        // The stand-in's late writer outlives it; it is adopted and reaped here.
        pyrelle::testing::adoptOrphans();
        char directory[] = "/tmp/kilnview-control-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        directory_ = directory;
        script_ = directory_ + "/serve";
        pidFile_ = directory_ + "/pid";
        std::ofstream(script_) << kServe;
        ::setenv("KILNVIEW_TEST_PID", pidFile_.c_str(), 1);
    }
    void TearDown() override {
        pyrelle::testing::reapAdopted("bash", 10);
        std::filesystem::remove_all(directory_);
    }
    pid_t helperPid() const {
        std::ifstream file(pidFile_);
        pid_t pid = -1;
        file >> pid;
        return pid;
    }

    std::string directory_, script_, pidFile_;
};

TEST_P(HelperClientEnding, ReportsTheHelpersLastWords) {
    double now = 100;
    // The stand-in is started as an elevation command would start the helper.
    HelperClient client(HelperSettings{
        "helper", {"/bin/bash", script_}, nullptr, ::getpid(), ::getuid(), [&] { return now; }});
    const ActionResult started = client.test();
    ASSERT_TRUE(started.ok) << started.message;
    EXPECT_TRUE(client.droveFans());
    ASSERT_TRUE(eventually(10, [&] { return helperPid() > 0; }));
    const pid_t helper = helperPid();

    // Within its bound, and while it answers, the lease runs on.
    now += 5 + HelperClient::leaseGrace - 1;
    EXPECT_EQ(client.poll().session, "S");

    GetParam().act(helper, now);
    std::optional<std::string> first;
    ASSERT_TRUE(eventually(20, [&] {
        const ControlView view = client.poll();
        if (!view.session) first = view.failure;
        return !view.session;
    }));
    ASSERT_TRUE(first);
    EXPECT_NE(first->find(GetParam().firstWord), std::string::npos) << *first;
    // The helper process is gone (reaped), whatever way it went.
    EXPECT_NE(::kill(helper, 0), 0);
    if (GetParam().guardianHeard) {
        EXPECT_TRUE(eventually(10, [&] {
            return client.poll().failure ==
                   std::optional<std::string>("恢复自动风扇失败：guardian");
        })) << client.control().failure.value_or("");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, HelperClientEnding,
    ::testing::Values(LeaseEnding{"BoundPassed", [](pid_t, double& now) { now += 2; },
                                  "风扇控制超过时限仍未结束", true},
                      LeaseEnding{"FrozenPastItsBound",
                                  [](pid_t helper, double& now) {
                                      ::kill(helper, SIGSTOP);
                                      now += 2;
                                  },
                                  "风扇控制超过时限仍未结束", true},
                      LeaseEnding{"StoppedWithAFailedHandBack",
                                  [](pid_t helper, double&) { ::kill(helper, SIGTERM); },
                                  "恢复自动风扇失败：helper", true},
                      LeaseEnding{"Killed", [](pid_t helper, double&) { ::kill(helper, SIGKILL); },
                                  "辅助进程已退出", false}),
    [](const auto& info) { return std::string(info.param.name); });

// A cooling run is stopped through a stop file Kilnview creates afresh: a regular file of its
// own user, mode 0600, removed once the run has ended. The stand-in plays both the run (it
// waits for its stop file and records what it found) and the session that then says "auto".
constexpr const char* kCoolingAndServe = R"(#!/bin/bash
if [ "$2" = cooling ]; then
  stop=/tmp/pyrelle-stop-$5
  for _ in $(seq 500); do [ -e "$stop" ] && break; sleep 0.02; done
  { stat -c '%a %u %F' "$stop"; echo "$stop"; } > "$KILNVIEW_TEST_FOUND"
  exit 0
fi
while read -r line; do echo '{"ok":true,"message":"风扇由系统管理"}'; done
)";

TEST(HelperClientCooling, StopsTheRunThroughAFreshStopFileOfItsOwn) {
    char directory[] = "/tmp/kilnview-cooling-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string script = std::string(directory) + "/helper";
    const std::string found = std::string(directory) + "/found";
    std::ofstream(script) << kCoolingAndServe;
    ::setenv("KILNVIEW_TEST_FOUND", found.c_str(), 1);
    {
        double now = 100;
        HelperClient client(HelperSettings{
            "helper", {"/bin/bash", script}, nullptr, ::getpid(), ::getuid(), [&] { return now; }});
        ASSERT_TRUE(client.cooling().ok);
        EXPECT_TRUE(client.control().cooling);
        const ActionResult handedBack = client.automatic();
        EXPECT_TRUE(handedBack.ok) << handedBack.message;
        EXPECT_FALSE(client.control().cooling);
    }
    std::ifstream report(found);
    std::string what, path;
    std::getline(report, what);
    std::getline(report, path);
    EXPECT_EQ(what, "600 " + std::to_string(::getuid()) + " regular empty file");
    // The stop file is not left behind.
    EXPECT_FALSE(path.empty());
    EXPECT_FALSE(std::filesystem::exists(path)) << path;
    std::filesystem::remove_all(directory);
}

}  // namespace
