#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TemporaryDirectory.hpp"
#include "support/FakeClock.hpp"
#include "pyrelle/ProcessRunner.hpp"
#include "pyrelle/ScopeError.hpp"

using namespace pyrelle;
using pyrelle::testing::TemporaryDirectory;

namespace {

const char* const timedOut = "命令超时。请刷新状态确认结果。";
const std::string fakeTool = PYRELLE_SOURCE_DIR "/tools/fake-pmset";

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ProcessRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        options.temporaryDirectory = scratch.slashed();
        descriptors = pyrelle::testing::openDescriptorCount();
    }
    // Every run leaves no file, no descriptor and no child behind.
    void TearDown() override {
        EXPECT_TRUE(scratch.entries().empty());
        EXPECT_EQ(pyrelle::testing::openDescriptorCount(), descriptors);
        EXPECT_TRUE(pyrelle::testing::noChildren());
    }

    CommandResult shell(const std::string& script, double timeout = 10) {
        return ProcessRunner::run("/bin/sh", {"-c", script}, timeout, options);
    }

    std::string failure(const std::function<void()>& action) {
        try {
            action();
        } catch (const ScopeError& error) {
            return error.what();
        }
        return "";
    }

    TemporaryDirectory scratch;
    ProcessRunner::Options options;
    size_t descriptors = 0;
};

TEST_F(ProcessRunnerTest, CollectsOutputAndErrorsInWriteOrder) {
    const auto result = shell("printf out; printf err >&2; printf ' more'; exit 3");
    EXPECT_EQ(result, (CommandResult{3, "outerr more"}));
}

TEST_F(ProcessRunnerTest, PassesArgumentsWithoutAShell) {
    const auto result =
        ProcessRunner::run("/bin/echo", {"a  b; rm -rf /nothing", "$HOME", "'\"`x`\""}, 5, options);
    EXPECT_EQ(result.output, "a  b; rm -rf /nothing $HOME '\"`x`\"\n");
}

TEST_F(ProcessRunnerTest, ReportsTheSignalThatEndedTheCommand) {
    EXPECT_EQ(shell("kill -9 $$").status, 9);
}

TEST_F(ProcessRunnerTest, GivesTheCommandNoInputAndNoOtherHandleOnItsOutputFile) {
    EXPECT_EQ(ProcessRunner::run("/bin/cat", {}, 5, options).output, "");
    // The output file reaches the command as its standard output and error only.
    const auto listed =
        shell("for fd in /proc/$$/fd/*; do printf '%s ' \"${fd##*/}\"; readlink \"$fd\"; done");
    size_t mentions = 0;
    for (size_t at = listed.output.find("pyrelle-command-"); at != std::string::npos;
         at = listed.output.find("pyrelle-command-", at + 1)) {
        ++mentions;
    }
    EXPECT_EQ(mentions, 2u) << listed.output;
    EXPECT_NE(listed.output.find("0 /dev/null"), std::string::npos) << listed.output;
}

TEST_F(ProcessRunnerTest, KeepsOnlyTheFirst131072BytesDecodedAsUTF8) {
    const auto big = shell("head -c 200000 /dev/zero | tr '\\0' 'x'");
    EXPECT_EQ(big.status, 0);
    EXPECT_EQ(big.output, std::string(ProcessRunner::outputLimit, 'x'));

    // A character cut at the limit becomes one replacement character.
    const auto cut = shell("head -c 131071 /dev/zero | tr '\\0' 'x'; printf '\\342\\202\\254tail'");
    EXPECT_EQ(cut.output, std::string(131071, 'x') + "\xEF\xBF\xBD");

    EXPECT_EQ(shell("printf '\\377ok\\303'").output, "\xEF\xBF\xBDok\xEF\xBF\xBD");
}

TEST_F(ProcessRunnerTest, LaunchFailuresAreReported) {
    EXPECT_EQ(failure([&] {
                  ProcessRunner::run("/nonexistent/tool", {}, 5, options);
              }).rfind("无法启动命令 ", 0),
              0u);
    EXPECT_EQ(failure([&] {
                  ProcessRunner::run("sh", {"-c", "true"}, 5, options);
              }).rfind("无法启动命令 ", 0),
              0u);
}

TEST_F(ProcessRunnerTest, AnUnusableTemporaryDirectoryIsReported) {
    options.temporaryDirectory = scratch.slashed() + "missing/";
    EXPECT_EQ(failure([&] { shell("true"); }), "无法创建命令输出文件");
}

TEST_F(ProcessRunnerTest, HangingCommandIsTerminatedAtTheLimit) {
    setenv("FAKE_PMSET_HANG", "1", 1);
    setenv("FAKE_PMSET_STATE", (scratch.path() + "/state").c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] {
                  ProcessRunner::run(fakeTool, {"-g", "custom"}, 0.3, options);
              }),
              timedOut);
    const double elapsed = secondsSince(start);
    unsetenv("FAKE_PMSET_HANG");
    EXPECT_GE(elapsed, 0.3);
    EXPECT_LT(elapsed, 2.2);  // it obeyed the terminate request within the 2-second grace
}

TEST_F(ProcessRunnerTest, CommandIgnoringTerminationIsKilledAfterTheGrace) {
    const std::string ready = scratch.path() + "/ready";
    setenv("FAKE_PMSET_HANG", "stubborn", 1);
    setenv("FAKE_PMSET_STATE", (scratch.path() + "/state").c_str(), 1);
    setenv("FAKE_PMSET_READY", ready.c_str(), 1);
    options.killGrace = 0.5;
    // The first pause waits until the tool ignores the terminate request, so a slow start
    // on a busy machine cannot let the request through early.
    options.pause = [&](double seconds) {
        for (int tries = 0; tries < 2000 && !std::filesystem::exists(ready); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] {
                  ProcessRunner::run(fakeTool, {"-g", "custom"}, 0.2, options);
              }),
              timedOut);
    const double elapsed = secondsSince(start);
    unsetenv("FAKE_PMSET_HANG");
    unsetenv("FAKE_PMSET_READY");
    EXPECT_TRUE(std::filesystem::remove(ready));
    EXPECT_GE(elapsed, 0.2 + 0.5);
    EXPECT_LT(elapsed, 8.0);
}

TEST_F(ProcessRunnerTest, TimeLimitsFollowTheInjectedClock) {
    pyrelle::testing::FakeClock clock;
    options.clock = clock.clock();
    options.pause = clock.pauser();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure([&] { ProcessRunner::run("/bin/sleep", {"30"}, 12, options); }), timedOut);
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_GE(clock.now() - 1000.0, 12.0);
}

TEST(ProcessRunnerText, DecodingReplacesEachMaximalInvalidSubpart) {
    const std::string r = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"\xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x94\xA5", "\xE6\xB8\xA9\xE5\xBA\xA6 \xF0\x9F\x94\xA5"},
        {"\xC0\x80", r + r},                  // overlong
        {"\xE0\x80\x80", r + r + r},          // overlong
        {"\xED\xA0\x80", r + r + r},          // surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xE2\x82x", r + "x"},               // truncated, then ASCII
        {"a\xF0\x9F\x94", "a" + r},           // truncated at the end
        {"\x80\xBF", r + r},                  // lone continuations
        {std::string("\0z", 2), std::string("\0z", 2)},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(ProcessRunner::decodeUTF8(input), expected);
}

TEST(ProcessRunnerText, QuotingHelpers) {
    EXPECT_EQ(ProcessRunner::shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(ProcessRunner::shellQuote(""), "''");
    EXPECT_EQ(ProcessRunner::appleScriptString("say \"hi\"\\\nbye"),
              "\"say \\\"hi\\\"\\\\\\nbye\"");
}

}  // namespace
