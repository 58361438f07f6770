// The process support every end-to-end test stands on: whatever ends a test — success, a
// failed assertion, a kill from outside — nothing it started keeps running, and a child that
// exits early never takes the test down with a SIGPIPE.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/Subprocess.hpp"

namespace {

using namespace pyrelle::testing;

// True once `pid` names no process (or only a zombie nobody will reap as ours), within `seconds`.
bool goneWithin(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(stat, text)) return true;
        const auto close = text.rfind(')');
        if (close != std::string::npos && text.size() > close + 2 && text[close + 2] == 'Z') {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::string scratchFile(const char* name) {
    return "/tmp/pyrelle-" + std::string(name) + "-" + std::to_string(getpid());
}

TEST(ChildProcess, InputForAProgramThatAlreadyExitedIsDroppedNotFatal) {
    ProcessOptions options;
    options.input = std::string(1 << 20, 'x');  // far beyond what a pipe buffers
    const auto r = runProcess({"/bin/sh", "-c", "exit 3"}, options);
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(r.timedOut);

    InteractiveProcess gone({"/bin/true"});
    const auto ended = gone.wait(10);
    EXPECT_EQ(ended.status, 0);
    EXPECT_FALSE(gone.sendLine("status"));
}

TEST(ChildProcess, AProgramOverItsTimeLimitDiesWithWhatItStarted) {
    const std::string pidFile = scratchFile("grandchild");
    ProcessOptions options;
    options.timeoutSeconds = 0.5;
    const auto r =
        runProcess({"/bin/sh", "-c", "sleep 300 & echo $! > \"$0\"; wait", pidFile}, options);
    EXPECT_TRUE(r.timedOut);
    pid_t grandchild = 0;
    std::ifstream(pidFile) >> grandchild;
    std::remove(pidFile.c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(goneWithin(grandchild, 10));
}

// The test process itself is killed (as by a CTest timeout) while its child and grandchild
// run: both die with it.
TEST(ChildProcess, ChildrenOfAKilledTestProcessDieWithIt) {
    const std::string pidFile = scratchFile("stand-in");
    InteractiveProcess testProcess({STAND_IN_PATH, pidFile});
    const auto line = testProcess.readLine(20);
    ASSERT_TRUE(line) << "the stand-in never reported its children";
    std::istringstream ids(*line);
    pid_t child = 0, grandchild = 0;
    ids >> child >> grandchild;
    std::remove(pidFile.c_str());
    ASSERT_GT(child, 0);
    ASSERT_GT(grandchild, 0);
    ASSERT_EQ(kill(grandchild, 0), 0);

    testProcess.signal(SIGKILL);
    EXPECT_EQ(testProcess.wait(10).status, 128 + SIGKILL);
    EXPECT_TRUE(goneWithin(child, 10));
    EXPECT_TRUE(goneWithin(grandchild, 10));
}

}  // namespace
