// The helper's power access over the fake settings tool: what a power transaction does on an
// Apple Silicon helper, where turbo boost can only be observed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "PowerControl.hpp"
#include "pyrelle/PowerTransaction.hpp"
#include "pyrelle/ScopeError.hpp"

namespace {

using namespace pyrelle;
using pyrelle::helper::SystemPowerAccess;

const std::string kFakeTool = PYRELLE_SOURCE_DIR "/tools/fake-pmset";

struct Harness {
    std::filesystem::path directory;
    int32_t ac = 1;
    int32_t turbo = -1;

    Harness() {
        char pattern[] = "/tmp/pyrelle-power-XXXXXX";
        directory = mkdtemp(pattern);
        setenv("FAKE_PMSET_STATE", (directory / "state").c_str(), 1);
        setenv("FAKE_PMSET_LOG", (directory / "calls").c_str(), 1);
    }
    ~Harness() {
        unsetenv("FAKE_PMSET_STATE");
        unsetenv("FAKE_PMSET_LOG");
        std::filesystem::remove_all(directory);
    }

    SystemPowerAccess access() {
        SystemPowerAccess::Probes probes;
        probes.acPower = [this] { return ac; };
        probes.turboDriverState = [this] { return turbo; };
        probes.assertions = [] { return std::optional<nlohmann::json>(); };
        return SystemPowerAccess(NativePowerSettings(kFakeTool), probes);
    }

    // The settings-tool writes made so far (lines of the fake tool's call log).
    std::vector<std::string> writes() const {
        std::ifstream in(directory / "calls");
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);) {
            if (line.find("-g") == std::string::npos) result.push_back(line);
        }
        return result;
    }
};

PowerOptimizationPlan plan(bool disableTurbo) {
    PowerOptimizationPlan p;
    p.source = PowerSource::ac;
    p.scope = PowerScope::current;
    p.displayMinutes = 5;
    p.disableTurbo = disableTurbo;
    return p;
}

std::string failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(SystemPowerAccess, TurboIsNeverSwitched) {
    Harness h;
    auto access = h.access();
    EXPECT_EQ(failureOf([&] { access.setTurbo(true); }), "Intel 睿频不适用于 Apple Silicon");
    EXPECT_EQ(failureOf([&] { access.setTurbo(false); }), "Intel 睿频不适用于 Apple Silicon");
}

TEST(SystemPowerAccess, UnknownDriverStateRefusesATurboPlanBeforeAnyWrite) {
    Harness h;
    auto access = h.access();
    EXPECT_EQ(failureOf([&] { PowerTransaction::apply(plan(true), access); }), "睿频状态不可确认");
    EXPECT_TRUE(h.writes().empty());
}

TEST(SystemPowerAccess, LoadedDriverNeedsNoSwitch) {
    Harness h;
    h.turbo = 1;
    auto access = h.access();
    const auto outcome = PowerTransaction::apply(plan(true), access);
    EXPECT_TRUE(outcome.changed);
    EXPECT_EQ(access.configuration().value(PowerSetting::displaysleep, PowerSource::ac), 5);
}

TEST(SystemPowerAccess, UnloadedDriverRollsTheSettingsBack) {
    Harness h;
    h.turbo = 0;
    auto access = h.access();
    const auto message = failureOf([&] { PowerTransaction::apply(plan(true), access); });
    EXPECT_EQ(message.rfind(
                  "Intel 睿频不适用于 Apple Silicon；部分原设置未确认恢复：睿频（原为开启）：Intel "
                  "睿频不适用于 Apple Silicon",
                  0),
              0u)
        << message;
    EXPECT_EQ(access.configuration().value(PowerSetting::displaysleep, PowerSource::ac), 10);
}

TEST(SystemPowerAccess, UnreadablePowerSourceIsAChangedSource) {
    Harness h;
    h.ac = -1;
    auto access = h.access();
    EXPECT_EQ(access.currentSource(), std::nullopt);
    EXPECT_EQ(failureOf([&] { PowerTransaction::apply(plan(false), access); }),
              "供电状态已变化，请刷新优化方案");
    h.ac = 0;
    EXPECT_EQ(h.access().currentSource(), PowerSource::battery);
}

// The settings tool's own note is enough to refuse an idle-sleep change on AC, even where the
// assertion list cannot be read; a display-only plan still goes through.
TEST(SystemPowerAccess, NotedSleepBlockerRefusesAnIdleSleepChange) {
    Harness h;
    setenv("FAKE_PMSET_BLOCKERS", "caffeinate", 1);
    auto access = h.access();
    PowerOptimizationPlan idle = plan(false);
    idle.displayMinutes.reset();
    idle.idleMinutes = 15;
    const auto message = failureOf([&] { PowerTransaction::apply(idle, access); });
    unsetenv("FAKE_PMSET_BLOCKERS");
    EXPECT_EQ(message, "存在阻止休眠的任务，未修改休眠设置");
    EXPECT_TRUE(h.writes().empty());
}

TEST(SystemPowerAccess, UnreadableSleepBlockersFail) {
    Harness h;
    auto access = h.access();
    EXPECT_EQ(failureOf([&] { access.hasSleepBlockers(); }), "休眠阻止状态不可读取");
}

}  // namespace
