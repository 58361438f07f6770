// The whole `serve` loop in-process over real pipes, with an in-memory fan set: how the
// conversation ends when the desktop application stops reading its replies.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "ControlSession.hpp"
#include "pyrelle/ScopeError.hpp"
#include "support/FakeClock.hpp"
#include "support/FakeCoolingHardware.hpp"

namespace {

using namespace pyrelle;
using pyrelle::testing::FakeClock;
using pyrelle::testing::FakeCoolingHardware;

const std::string kProfile =
    R"({"command":"profile","profile":"custom","curve":{"points":[{"temperature":40,"percent":20},{"temperature":80,"percent":100}],"sensor":"CPU"}})";

// A peer that asks and asks but never reads a reply: once its reply pipe is full the helper
// must give up within the wait cap, end the session as a failed channel and hand the fans
// back, rather than hang in a write while a curve runs on.
TEST(ControlSession, APeerThatStopsReadingEndsTheSessionWithTheFansHandedBack) {
    FakeCoolingHardware hardware;
    hardware.addFan(0, 1000, 5000, 1000).addFan(1, 1200, 6000, 1200);
    FakeClock clock;

    int requests[2], replies[2];
    ASSERT_EQ(pipe2(requests, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(replies, O_CLOEXEC), 0);
    fcntl(replies[1], F_SETPIPE_SZ, 4096);  // one page: a few dozen replies fill it
    std::string input = kProfile + "\n";
    for (int i = 0; i < 600; ++i) input += "{\"command\":\"status\"}\n";
    ASSERT_EQ(write(requests[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));

    helper::ServeEnvironment environment;
    environment.isAdministrator = [] { return true; };
    environment.realUser = [] { return 501u; };
    environment.ownerAlive = [](int32_t, uint32_t) { return true; };
    environment.stopSignalled = [] { return false; };
    environment.installStopHandlers = [] {};
    environment.exitProcess = [] { ADD_FAILURE() << "the owner watch ended the process"; };
    environment.input = requests[0];
    environment.output = replies[1];
    environment.waitCap = 0.2;
    const auto dependencies = [&] {
        helper::SessionDependencies d;
        d.hardware = &hardware;
        d.makeSampler = [] {
            return std::function<Snapshot()>([] {
                Snapshot s;
                s.sensors.push_back({"TC0P", "CPU", 60});
                return s;
            });
        };
        d.now = [&clock] { return clock.now(); };
        d.sleep = [&clock](double seconds) {
            clock.pause(seconds);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        };
        d.externalStop = [] { return false; };
        return d;
    };

    // Should the helper block in a write regardless, drain the replies after a long while so
    // the test reports the fault instead of hanging.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false, drained = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (finished.wait_for(lock, std::chrono::seconds(60), [&] { return done; })) return;
        drained = true;
        fcntl(replies[0], F_SETFL, O_NONBLOCK);
        char sink[4096];
        do {
            while (read(replies[0], sink, sizeof sink) > 0) {
            }
        } while (!finished.wait_for(lock, std::chrono::milliseconds(10), [&] { return done; }));
    });

    std::string failure;
    try {
        helper::runControlSession({"PyrelleHelper", "serve", "4242", "501"}, environment,
                                  dependencies);
    } catch (const ScopeError& error) {
        failure = error.what();
    }
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    finished.notify_all();
    watchdog.join();

    EXPECT_FALSE(drained) << "the helper waited for the reader";
    EXPECT_EQ(failure, "辅助进程通信中断或超时");
    EXPECT_TRUE(hardware.allAutomatic());
    EXPECT_GT(hardware.writes().size(), 0u) << "the curve had taken the fans";
    int unread = 0;
    ioctl(requests[0], FIONREAD, &unread);
    EXPECT_GT(unread, 0) << "the session ended on the stalled write, not for want of requests";
    for (int fd : {requests[0], requests[1], replies[0], replies[1]}) close(fd);
}

}  // namespace
