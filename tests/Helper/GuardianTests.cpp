// The guardian's life, run in-process against a scripted helper, device and lock on a fake
// clock (ten minutes of failure take microseconds): what it answers, when it ends the helper,
// and that once armed and orphaned it hands the fans back however long that takes — never
// standing down after a failed round, never writing after a good one, never writing to a
// device that replaced the one it recorded, and holding the lease lock throughout.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "Guardian.hpp"
#include "HelperMessages.hpp"
#include "LeaseLock.hpp"
#include "OwnerWatch.hpp"
#include "pyrelle/ScopeError.hpp"

namespace {

using pyrelle::ScopeError;
using pyrelle::csmc::DeviceIdentity;
using pyrelle::helper::Guardian;
using pyrelle::helper::GuardianSystem;
using pyrelle::helper::LeaseLock;
namespace messages = pyrelle::helper::messages;

constexpr double kNever = std::numeric_limits<double>::infinity();

struct Case {
    const char* name;
    std::vector<std::string> words;  // the helper's bytes, chunk by chunk
    bool frozen = false;             // after its words the helper goes silent instead of ending
    double failUntil = 0;            // hand-back rounds fail while the clock is before this
    double busyUntil = 0;            // an earlier guardian holds the device until then
    double replacedAt = kNever;      // another device answers at the address from then on
    // Expected:
    std::string answers;
    bool fansBack = false;               // a hand-back round succeeded
    std::vector<const char*> said = {};  // messages on standard error, in order
    int status = 0;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The world around one guardian.
struct World {
    const Case& c;
    double clock = 0;
    size_t next = 0;
    bool locked = false;
    bool helperEnded = false;
    double endedAt = -1;
    bool fansBack = false;
    int roundsAfterSuccess = 0;
    int roundsUnlocked = 0;
    int roundsOnAnotherDevice = 0;
    std::string answers;
    std::vector<std::string> said;

    DeviceIdentity device() const { return {1, clock >= c.replacedAt ? 2u : 1u}; }

    GuardianSystem system() {
        GuardianSystem s;
        s.now = [this] { return clock; };
        s.pause = [this](double seconds) { clock += seconds; };
        s.receive = [this](std::string& into, double seconds) {
            if (next < c.words.size()) {
                into += c.words[next++];
                return true;
            }
            if (!c.frozen || helperEnded) return false;
            clock += seconds;  // silence until the wait's end
            return true;
        };
        s.answer = [this](char byte) { answers += byte; };
        s.identify = [this] { return std::optional(device()); };
        s.lock = [this](const DeviceIdentity&) {
            if (clock < c.busyUntil) return LeaseLock::Outcome::busy;
            locked = true;
            return LeaseLock::Outcome::held;
        };
        s.unlock = [this] { locked = false; };
        s.endHelper = [this] {
            helperEnded = true;
            endedAt = clock;
        };
        s.handBack = [this] {
            if (fansBack) ++roundsAfterSuccess;
            if (!locked) ++roundsUnlocked;
            if (device().inode != 1) ++roundsOnAnotherDevice;
            clock += 0.5;  // a round takes a while
            if (clock < c.failUntil) throw ScopeError("恢复自动风扇失败：SMC F0Md 写入失败（130）");
            fansBack = true;
        };
        s.say = [this](const std::string& text) { said.push_back(text); };
        return s;
    }
};

class GuardianLife : public ::testing::TestWithParam<Case> {};

TEST_P(GuardianLife, HandsBackUntilTheFansAreAutomaticAndOnlyThen) {
    const Case& c = GetParam();
    World world{c};
    const int status = Guardian::watch(world.system());
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(world.answers, c.answers);
    EXPECT_EQ(world.fansBack, c.fansBack);
    ASSERT_EQ(world.said.size(), c.said.size());
    for (size_t i = 0; i < c.said.size(); ++i) {
        EXPECT_EQ(world.said[i].rfind(c.said[i], 0), 0u) << world.said[i];
    }
    EXPECT_EQ(world.roundsAfterSuccess, 0);
    EXPECT_EQ(world.roundsUnlocked, 0) << "a round ran without the lease lock";
    EXPECT_EQ(world.roundsOnAnotherDevice, 0);
    EXPECT_FALSE(world.locked) << "the lock outlived the guardian's work";
    if (c.frozen) {
        // Ended once the lease's deadline and the grace had passed, not before.
        EXPECT_GE(world.endedAt, 10 + Guardian::kGrace);
        EXPECT_LT(world.endedAt, 10 + Guardian::kGrace + 1);
    } else {
        EXPECT_FALSE(world.helperEnded);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GuardianLife,
    ::testing::Values(
        Case{.name = "NeverLeased", .words = {}},
        Case{.name = "HandedBackCleanly", .words = {"L 100\n", "A\n", "R\n"}, .answers = "K"},
        Case{.name = "KilledWhileArmed",
             .words = {"L 1", "00\nA", "\nnoise\n"},
             .answers = "K",
             .fansBack = true},
        // The stall at the end of a lease: the helper's own hand-back gave up and it exited;
        // the guardian must carry on until the device answers again.
        Case{.name = "LeaseGaveUpDuringAStall",
             .words = {"L 100\nA\n"},
             .failUntil = 8,
             .answers = "K",
             .fansBack = true},
        Case{.name = "FailingForTenMinutesIsToldAndRetriedSlowly",
             .words = {"L 100\nA\n"},
             .failUntil = 700,
             .answers = "K",
             .fansBack = true,
             .said = {messages::kGuardianStillTrying}},
        Case{.name = "ReplacedDeviceIsNeverWritten",
             .words = {"L 100\nA\n"},
             .failUntil = kNever,
             .replacedAt = 5,
             .answers = "K",
             .said = {messages::kGuardianDeviceGone},
             .status = 1},
        Case{.name = "FrozenHelperIsEndedAtItsDeadline",
             .words = {"L 10\n", "A\n"},
             .frozen = true,
             .answers = "K",
             .fansBack = true,
             .said = {messages::kLeaseOverdue}},
        Case{.name = "EarlierGuardianStillHandingBack",
             .words = {"L 100\n"},
             .busyUntil = 1e9,
             .answers = "B"},
        Case{.name = "EarlierGuardianFinishesWithinTheWait",
             .words = {"L 100\nA\nR\n"},
             .busyUntil = 2,
             .answers = "K"},
        Case{.name = "LaterLeaseOfOneSession",
             .words = {"L 10\nA\nR\n", "L 100\nA\n"},
             .answers = "KK",
             .fansBack = true}),
    [](const auto& info) { return std::string(info.param.name); });

// One lease at a time per device, between processes: the lock is an flock on a file of a
// root-only directory, removed by its holder.
TEST(LeaseLock, OneHolderPerDeviceAndOnlyInARootOnlyDirectory) {
    char pattern[] = "/tmp/pyrelle-lock-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string directory = std::string(pattern) + "/run";
    const DeviceIdentity device{7, 42};
    {
        LeaseLock first(directory), second(directory), other(directory);
        EXPECT_EQ(first.acquire(device), LeaseLock::Outcome::held);
        EXPECT_EQ(second.acquire(device), LeaseLock::Outcome::busy);
        EXPECT_EQ(other.acquire({7, 43}), LeaseLock::Outcome::held);
        first.release();
        EXPECT_EQ(second.acquire(device), LeaseLock::Outcome::held);
    }
    EXPECT_TRUE(std::filesystem::is_empty(directory)) << "lock files are removed";
    chmod(directory.c_str(), 0777);
    LeaseLock open(directory);
    EXPECT_EQ(open.acquire(device), LeaseLock::Outcome::unavailable);
    std::filesystem::remove_all(pattern);
}

// A process that has exited stays gone for the watch, even when the plain check would accept
// whatever process now has its id.
TEST(OwnerWatch, AReusedProcessIdDoesNotKeepTheOwnerAlive) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    pyrelle::helper::OwnerWatch watch([](int32_t, uint32_t) { return true; });
    EXPECT_TRUE(watch.alive(child, 1000));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(watch.alive(child, 1000));
}

}  // namespace
