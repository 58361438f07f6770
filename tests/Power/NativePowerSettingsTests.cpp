#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "TemporaryDirectory.hpp"
#include "pyrelle/NativePowerSettings.hpp"
#include "pyrelle/ScopeError.hpp"

using namespace pyrelle;
using pyrelle::testing::TemporaryDirectory;

namespace {

const std::string fakeTool = PYRELLE_SOURCE_DIR "/tools/fake-pmset";
const char* const switches[] = {"FAKE_PMSET_FAIL",  "FAKE_PMSET_LIE",  "FAKE_PMSET_HANG",
                                "FAKE_PMSET_FLOOD", "FAKE_PMSET_NOTE", "FAKE_PMSET_BLOCKERS"};

// The settings tool end to end: the fake tool keeps its state in a scratch directory, which
// also receives the runner's output files, so leftovers are visible.
class NativePowerSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = scratch.path() + "/state";
        log = scratch.path() + "/calls.log";
        setenv("FAKE_PMSET_STATE", state.c_str(), 1);
        setenv("FAKE_PMSET_LOG", log.c_str(), 1);
        for (const char* name : switches) unsetenv(name);
        options.temporaryDirectory = scratch.slashed();
    }
    void TearDown() override {
        for (const char* name : switches) unsetenv(name);
        unsetenv("FAKE_PMSET_STATE");
        unsetenv("FAKE_PMSET_LOG");
        for (const auto& name : scratch.entries()) {
            EXPECT_TRUE(name == "state" || name == "calls.log") << "left behind: " << name;
        }
        EXPECT_TRUE(pyrelle::testing::noChildren());
    }

    NativePowerSettings settings(double readTimeout = 8, double writeTimeout = 12) const {
        return NativePowerSettings(fakeTool, readTimeout, writeTimeout, options);
    }

    std::string calls() const {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    template <typename Action>
    std::string failure(Action action) {
        try {
            action();
        } catch (const ScopeError& error) {
            return error.what();
        }
        return "";
    }

    TemporaryDirectory scratch;
    std::string state;
    std::string log;
    ProcessRunner::Options options;
};

TEST_F(NativePowerSettingsTest, ReadsBothProfiles) {
    const auto configuration = settings().read();
    EXPECT_EQ(configuration.profiles.at(PowerSource::battery),
              (PowerConfiguration::Settings{{PowerSetting::lowpowermode, 0},
                                            {PowerSetting::displaysleep, 2},
                                            {PowerSetting::sleep, 1}}));
    EXPECT_EQ(configuration.value(PowerSetting::displaysleep, PowerSource::ac), 10);
    EXPECT_EQ(calls(), "-g custom\n");
}

TEST_F(NativePowerSettingsTest, WriteIsVerifiedByReadingBack) {
    settings().write(PowerSetting::sleep, PowerSource::battery, 15);
    EXPECT_EQ(calls(), "-b sleep 15\n-g custom\n");
    EXPECT_EQ(settings().read().value(PowerSetting::sleep, PowerSource::battery), 15);
    EXPECT_EQ(settings().read().value(PowerSetting::sleep, PowerSource::ac), 1);
}

TEST_F(NativePowerSettingsTest, OutOfRangeValuesRunNothing) {
    for (std::int64_t value : {241, -1}) {
        EXPECT_EQ(
            failure([&] { settings().write(PowerSetting::displaysleep, PowerSource::ac, value); }),
            "电源参数不在允许范围");
    }
    EXPECT_EQ(failure([&] { settings().write(PowerSetting::lowpowermode, PowerSource::ac, 2); }),
              "电源参数不在允许范围");
    EXPECT_EQ(calls(), "");
}

TEST_F(NativePowerSettingsTest, AcknowledgedButUnappliedWriteIsCaught) {
    setenv("FAKE_PMSET_LIE", "1", 1);
    EXPECT_EQ(failure([&] { settings().write(PowerSetting::sleep, PowerSource::ac, 10); }),
              "系统电源设置读回不一致");
}

TEST_F(NativePowerSettingsTest, ToolFailuresAreReported) {
    setenv("FAKE_PMSET_FAIL", "write", 1);
    EXPECT_EQ(failure([&] { settings().write(PowerSetting::sleep, PowerSource::ac, 10); }),
              "系统电源设置未完成：pmset: simulated failure\n");
    setenv("FAKE_PMSET_FAIL", "read", 1);
    EXPECT_EQ(failure([&] { settings().read(); }), "电源设置读取失败");
    // The write went through but its read-back failed.
    EXPECT_EQ(failure([&] { settings().write(PowerSetting::sleep, PowerSource::ac, 10); }),
              "电源设置读取失败");
}

TEST_F(NativePowerSettingsTest, AListingWithoutSourcesIsAFailure) {
    std::ofstream(state) << "";
    EXPECT_EQ(failure([&] { settings().read(); }), "电源设置读取失败");
}

TEST_F(NativePowerSettingsTest, SleepBlockerNoteKeepsTheValueReadable) {
    setenv("FAKE_PMSET_BLOCKERS", "caffeinate", 1);
    PowerConfiguration::Notes notes;
    const auto configuration = settings().read(&notes);
    EXPECT_EQ(configuration.value(PowerSetting::sleep, PowerSource::ac), 1);
    EXPECT_EQ(configuration.value(PowerSetting::sleep, PowerSource::battery), 1);
    EXPECT_EQ(notes, (PowerConfiguration::Notes{{{PowerSource::ac, PowerSetting::sleep},
                                                 "sleep prevented by caffeinate"}}));
    // A write under the note is confirmed by its read-back like any other.
    settings().write(PowerSetting::sleep, PowerSource::ac, 15);
    EXPECT_EQ(settings().read().value(PowerSetting::sleep, PowerSource::ac), 15);
}

TEST_F(NativePowerSettingsTest, OutputBeyondTheLimitIsNeverRead) {
    setenv("FAKE_PMSET_FLOOD", "1000", 1);
    EXPECT_EQ(settings().read().value(PowerSetting::sleep, PowerSource::ac), 1);
    // The listing comes after 200000 bytes of noise: only noise is read.
    setenv("FAKE_PMSET_FLOOD", "200000", 1);
    EXPECT_EQ(failure([&] { settings().read(); }), "电源设置读取失败");
}

TEST_F(NativePowerSettingsTest, HangingToolTimesOut) {
    setenv("FAKE_PMSET_HANG", "1", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { settings(0.3, 0.3).write(PowerSetting::sleep, PowerSource::ac, 10); }),
              "命令超时。请刷新状态确认结果。");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
}

TEST_F(NativePowerSettingsTest, MissingToolIsALaunchFailure) {
    const NativePowerSettings missing(scratch.path() + "/no-such-tool", 1, 1, options);
    EXPECT_EQ(failure([&] { missing.read(); }).rfind("无法启动命令 ", 0), 0u);
}

}  // namespace
