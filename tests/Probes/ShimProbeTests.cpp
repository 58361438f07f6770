// The pyr_ probes as the rest of the system calls them: owner liveness against a real
// process of another user, the stop flag in a child of its own, the boot-time clock, and the
// power-manager values taken from a configured virtual Mac instead of the host.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "CSMC.h"
#include "CSMCDevice.hpp"
#include "CSMCProbes.h"
#include "support/Subprocess.hpp"

extern char** environ;

namespace {

TEST(OwnerAlive, ThisProcessIsAliveForItsOwnUidOnly) {
    EXPECT_EQ(pyr_owner_alive(getpid(), geteuid()), 1);
    EXPECT_EQ(pyr_owner_alive(getpid(), geteuid() + 1), 0);
    EXPECT_EQ(pyr_owner_alive(0, 0), 0);
    EXPECT_EQ(pyr_owner_alive(-5, 0), 0);
    EXPECT_EQ(pyr_owner_alive(0x7ffffff0, 0), 0);
}

TEST(OwnerAlive, ALiveProcessOfAnotherUserIsNotTheOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
    // Killed and reaped on every path, a failed assertion included.
    pyrelle::testing::BackgroundProcess sleeper({"/usr/bin/setpriv", "--reuid", "65534", "--regid",
                                                 "65534", "--clear-groups", "sleep", "5"});
    const pid_t child = sleeper.pid();
    // setpriv changes its user before it starts sleep; wait for that, boundedly.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (pyr_owner_alive(child, 65534) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(pyr_owner_alive(child, 65534), 1);
    EXPECT_EQ(pyr_owner_alive(child, 0), 0);

    sleeper.signal(SIGKILL);
    // Exited but not yet reaped: no longer alive.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(pyr_owner_alive(child, 65534), 0);
    sleeper.wait(10);
    EXPECT_EQ(pyr_owner_alive(child, 65534), 0);
}

TEST(StopFlag, SetBySignalsAndNeverReset) {
    // In a child of its own, so the flag of the test process stays clean.
    EXPECT_EXIT(
        {
            signal(SIGTERM, SIG_IGN);
            if (pyr_should_stop() != 0) _exit(2);
            pyr_install_stop_handlers();
            for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
                struct sigaction current {};
                sigaction(number, nullptr, &current);
                if (current.sa_handler != stopHandler) _exit(3);
            }
            raise(SIGTERM);
            if (pyr_should_stop() != 1) _exit(4);
            raise(SIGTERM);
            if (pyr_should_stop() != 1) _exit(5);
            stopHandler(SIGHUP);
            _exit(pyr_should_stop() == 1 ? 0 : 6);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(StopFlag, EachSignalSetsIt) {
    for (const int number : {SIGINT, SIGHUP}) {
        EXPECT_EXIT(
            {
                pyr_install_stop_handlers();
                raise(number);
                _exit(pyr_should_stop() == 1 ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << number;
    }
}

TEST(ContinuousClock, FollowsTheBootClock) {
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double before = static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9;
    const double first = pyr_continuous_seconds();
    const double second = pyr_continuous_seconds();
    EXPECT_GE(first, before);
    EXPECT_LT(first - before, 1.0);
    EXPECT_GE(second, first);
}

TEST(Probes, LinuxHasNoTurboDriver) {
    EXPECT_EQ(pyr_turbo_driver_state(), -1);
}

TEST(Probes, HostValuesAreInRange) {
    ASSERT_FALSE(pyrelle::csmc::deviceConfigured()) << "run without PYRELLE_SMC_SOCKET";
    PYRCPUTicks ticks{};
    ASSERT_EQ(pyr_cpu_ticks(&ticks), 0);
    EXPECT_GT(ticks.user + ticks.system + ticks.idle + ticks.nice, 0u);
    const PYRPowerStatus status = pyr_power_status();
    EXPECT_EQ(status.scheduler_limit, -1);
    EXPECT_GE(status.available_cpus, 1);
    EXPECT_LE(status.available_cpus, pyr_processor_count());
    EXPECT_TRUE(status.speed_limit == -1 || (status.speed_limit >= 0 && status.speed_limit <= 100));
    const int32_t pressure = pyr_memory_pressure();
    EXPECT_TRUE(pressure == -1 || pressure == 1 || pressure == 2 || pressure == 4);
    const int32_t thermal = pyr_thermal_state();
    EXPECT_TRUE(thermal >= -1 && thermal <= 3);
    const int32_t ac = pyr_ac_power();
    EXPECT_TRUE(ac >= -1 && ac <= 1);
}

// A virtual Mac that answers power-manager requests with a fixed JSON text and status.
class PowerManagerDevice : public pyrelle::csmc::Device {
public:
    PowerManagerDevice(std::string reply, int32_t status = 0)
        : reply_(std::move(reply)), status_(status) {}
    int32_t exchange(uint32_t selector, std::span<const uint8_t>,
                     std::vector<uint8_t>& reply) override {
        if (selector != pyrelle::csmc::kSelectorPowerManager) return PYR_KERN_IPC_ERROR;
        reply.assign(reply_.begin(), reply_.end());
        return status_;
    }

private:
    std::string reply_;
    int32_t status_;
};

// A virtual Mac whose answer can change, counting the questions it is asked.
class CountingPowerManager : public pyrelle::csmc::Device {
public:
    int32_t exchange(uint32_t, std::span<const uint8_t>, std::vector<uint8_t>& reply) override {
        ++asked;
        reply.assign(answer.begin(), answer.end());
        return 0;
    }
    std::string answer;
    int asked = 0;
};

class VirtualMacProbes : public ::testing::Test {
protected:
    void install(std::string reply, int32_t status = 0) {
        pyrelle::csmc::installDevice(
            std::make_shared<PowerManagerDevice>(std::move(reply), status));
    }
    void TearDown() override { pyrelle::csmc::installDevice(nullptr); }
};

TEST_F(VirtualMacProbes, PowerManagerValuesComeFromTheVirtualMac) {
    install(R"({"speedLimit":70,"schedulerLimit":90,"availableCPUs":10,"totalCPUs":12,)"
            R"("thermalWarning":5,"thermalState":2,"acPower":false,"lowPower":true,)"
            R"("memoryPressure":4,"brand":"Apple M4 Pro"})");
    const PYRPowerStatus status = pyr_power_status();
    EXPECT_EQ(status.speed_limit, 70);
    EXPECT_EQ(status.scheduler_limit, 90);
    EXPECT_EQ(status.available_cpus, 10);
    EXPECT_EQ(status.thermal_warning, 5);
    EXPECT_EQ(pyr_ac_power(), 0);
    EXPECT_EQ(pyr_low_power_mode(), 1);
    EXPECT_EQ(pyr_memory_pressure(), 4);
    EXPECT_EQ(pyr_thermal_state(), 2);
    EXPECT_EQ(pyr_processor_count(), 12);
    char brand[64];
    EXPECT_EQ(pyr_cpu_brand(brand, sizeof brand), 12);
    EXPECT_STREQ(brand, "Apple M4 Pro");
    // The kernel's own accounting still comes from the host.
    PYRCPUTicks ticks{};
    EXPECT_EQ(pyr_cpu_ticks(&ticks), 0);
    EXPECT_EQ(pyr_owner_alive(getpid(), geteuid()), 1);
}

TEST_F(VirtualMacProbes, AbsentOrOutOfRangeKeysAreNotSupplied) {
    install(R"({"acPower":1,"memoryPressure":3,"thermalState":7,"speedLimit":"fast",)"
            R"("availableCPUs":1.5,"lowPower":2})");
    const PYRPowerStatus status = pyr_power_status();
    EXPECT_EQ(status.speed_limit, -1);
    EXPECT_EQ(status.scheduler_limit, -1);
    EXPECT_EQ(status.available_cpus, -1);
    EXPECT_EQ(status.thermal_warning, -1);
    EXPECT_EQ(pyr_ac_power(), 1);
    EXPECT_EQ(pyr_memory_pressure(), -1);  // a level of 3 is no level
    EXPECT_EQ(pyr_thermal_state(), -1);
    EXPECT_EQ(pyr_low_power_mode(), -1);
    EXPECT_GE(pyr_processor_count(), 1);  // host count when the virtual Mac gives none
    char brand[8];
    EXPECT_EQ(pyr_cpu_brand(brand, sizeof brand), -1);
}

TEST_F(VirtualMacProbes, AFailingVirtualMacSuppliesNothingRatherThanHostValues) {
    for (const auto& [reply, status] : {std::pair<std::string, int32_t>{"{}", PYR_KERN_TIMEOUT},
                                        {"not json", 0},
                                        {"[1,2]", 0},
                                        {"", 0}}) {
        install(reply, status);
        const PYRPowerStatus power = pyr_power_status();
        EXPECT_EQ(power.speed_limit, -1) << reply;
        EXPECT_EQ(power.available_cpus, -1) << reply;
        EXPECT_EQ(pyr_ac_power(), -1) << reply;
        EXPECT_EQ(pyr_memory_pressure(), -1) << reply;
        EXPECT_EQ(pyr_thermal_state(), -1) << reply;
    }
}

TEST_F(VirtualMacProbes, ABatchAsksOnceAndForgetsTheAnswerWhenItEnds) {
    auto device = std::make_shared<CountingPowerManager>();
    device->answer = R"({"acPower":true,"thermalState":1,"memoryPressure":2,"lowPower":false})";
    pyrelle::csmc::installDevice(device);
    {
        const pyrelle::csmc::ProbeBatch outer;
        EXPECT_EQ(pyr_ac_power(), 1);
        device->answer = R"({"acPower":false,"thermalState":3})";
        {
            const pyrelle::csmc::ProbeBatch inner;
            EXPECT_EQ(pyr_thermal_state(), 1);
        }
        // Closing the inner batch keeps the outer one's answer.
        EXPECT_EQ(pyr_memory_pressure(), 2);
        EXPECT_EQ(pyr_low_power_mode(), 0);
        EXPECT_EQ(pyr_power_status().speed_limit, -1);
        EXPECT_EQ(device->asked, 1);
    }
    EXPECT_EQ(pyr_ac_power(), 0);
    EXPECT_EQ(pyr_thermal_state(), 3);
    EXPECT_EQ(device->asked, 3);
}

}  // namespace
