#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>

#include "pyrelle/SMCVerification.hpp"
#include "support/FakeClock.hpp"

using namespace pyrelle;
using pyrelle::testing::FakeClock;

namespace {

struct Outcome {
    bool confirmed;
    int reads;
    double elapsed;
};

// Replays `values` (the last one repeats) with a fake clock advancing `pause` per wait.
Outcome run(std::vector<std::optional<double>> values, double target = 2000, double timeout = 2.0,
            double pause = 0.05) {
    FakeClock clock(50);
    size_t next = 0;
    int reads = 0;
    const bool confirmed = SMCVerification::waitFor(
        target, timeout, clock.clock(),
        [&]() -> std::optional<double> {
            ++reads;
            auto value = values[std::min(next, values.size() - 1)];
            ++next;
            return value;
        },
        clock.pauser(pause));
    return {confirmed, reads, clock.now() - 50};
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(SMCVerificationWaitFor, ConfirmsOnlyAfterTwoConsecutiveCloseReads) {
    struct Case {
        const char* name;
        std::vector<std::optional<double>> values;
        bool confirmed;
        int reads;
    };
    const Case cases[] = {
        {"settled", {2000.0}, true, 2},
        {"within one", {1999.5, 2000.2}, true, 2},
        {"converging", {1500.0, 1999.2, 2000.4}, true, 3},
        {"gap restarts the streak", {2000.0, std::nullopt, 2000.0, 2000.0}, true, 4},
        {"not a number restarts the streak", {2000.0, kNaN, 2000.0, 2000.0}, true, 4},
        {"exactly one apart never matches", {2001.0}, false, -1},
        {"alternating never confirms", {2000.0, 2500.0}, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto values = c.values;
        if (std::string(c.name) == "alternating never confirms") {
            values.clear();
            for (int i = 0; i < 60; ++i) values.push_back(i % 2 ? 2500.0 : 2000.0);
        }
        const auto outcome = run(values);
        EXPECT_EQ(outcome.confirmed, c.confirmed);
        if (c.reads > 0) {
            EXPECT_EQ(outcome.reads, c.reads);
        } else {  // ran into the 2-second deadline: one read per 0.05 s pause
            EXPECT_NEAR(outcome.elapsed, 2.0, 0.05 + 1e-9);
            EXPECT_GE(outcome.reads, 40);
            EXPECT_LE(outcome.reads, 41);
        }
        EXPECT_LE(outcome.elapsed, 2.0 + 0.05 + 1e-9);
    }
}

TEST(SMCVerificationWaitFor, PollCountBoundsAShortPause) {
    const auto outcome = run({std::nullopt}, 2000, 2.0, 0.001);
    EXPECT_FALSE(outcome.confirmed);
    EXPECT_EQ(outcome.reads, SMCVerification::maximumPolls);
}

TEST(SMCVerificationWaitFor, ZeroTimeoutReadsOnce) {
    const auto outcome = run({2000.0}, 2000, 0.0);
    EXPECT_FALSE(outcome.confirmed);
    EXPECT_EQ(outcome.reads, 1);
}

TEST(SMCVerificationManualState, ModeValueFirstThenMaskWithUnlockAmbiguity) {
    using std::nullopt;
    struct Case {
        std::optional<double> local, flags;
        int id;
        std::optional<double> handoff;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {1, 0, 0, 1, true},
        {0, 1, 0, nullopt, false},
        {3, nullopt, 0, 0, false},
        {3, nullopt, 0, 1, nullopt},
        {2, nullopt, 0, nullopt, nullopt},
        {nullopt, 0b100, 2, nullopt, true},
        {nullopt, 0b100, 1, nullopt, false},
        {nullopt, 0b100, 1, 1, nullopt},
        {nullopt, 0b100, 1, 0, false},
        {nullopt, 1023, 10, nullopt, nullopt},
        {nullopt, 65536, 0, nullopt, nullopt},
        {nullopt, -1, 0, nullopt, nullopt},
        {nullopt, kNaN, 0, nullopt, nullopt},
        {nullopt, nullopt, 0, nullopt, nullopt},
        {nullopt, 1, -1, nullopt, nullopt},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(SMCVerification::manualState(c.local, c.flags, c.id, c.handoff), c.expected)
            << "case " << i;
    }
}
