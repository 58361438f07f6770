// The publish throttle: sequences of samples and the decisions they get.
#include <limits>

#include <gtest/gtest.h>

#include "pyrelle/widget/WidgetPublishSchedule.hpp"

namespace pyrelle {
namespace {

constexpr WidgetPublishDecision kNothing{false, false};
constexpr WidgetPublishDecision kWrite{true, false};
constexpr WidgetPublishDecision kReload{true, true};
constexpr double t0 = 786900000;

struct Step {
    double at;  // seconds after t0
    const char* state;
    WidgetPublishDecision expected;
};

void play(const std::vector<Step>& steps) {
    WidgetPublishSchedule schedule;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        EXPECT_EQ(schedule.receive(t0 + step.at, step.state), step.expected)
            << "step " << i << " at +" << step.at << " s, state " << step.state;
    }
}

TEST(WidgetPublishScheduleTest, UnchangedStateIsRewrittenOnceAMinute) {
    play({{0, "a", kReload},
          {30, "a", kNothing},
          {59.9, "a", kNothing},
          {60, "a", kWrite},
          {90, "a", kNothing},
          {120, "a", kWrite}});
}

TEST(WidgetPublishScheduleTest, ChangeSoonAfterAReloadWaitsForItsReload) {
    play({{0, "a", kReload},
          {10, "b", kWrite},      // written at once, reload pending
          {30, "b", kNothing},    // unchanged, within a minute of the write
          {59, "c", kWrite},      // still within a minute of the reload
          {60, "c", kNothing},    // unchanged: no write, so no reload either
          {119, "c", kReload}});  // first write at least 60 s after the reload
}

TEST(WidgetPublishScheduleTest, ChangeLongAfterAReloadReloadsAtOnce) {
    play({{0, "a", kReload},
          {60, "a", kWrite},
          {75, "b", kReload},
          {80, "c", kWrite},
          {140, "c", kReload}});
}

TEST(WidgetPublishScheduleTest, UnchangedStateSampledEveryMinuteReloadsEveryHalfHour) {
    WidgetPublishSchedule schedule;
    std::vector<int> reloads;
    for (int minute = 0; minute <= 90; ++minute) {
        WidgetPublishDecision decision = schedule.receive(t0 + minute * 60.0, "same");
        EXPECT_TRUE(decision.write) << minute;
        if (decision.reload) reloads.push_back(minute);
    }
    EXPECT_EQ(reloads, (std::vector<int>{0, 30, 60, 90}));
}

TEST(WidgetPublishScheduleTest, NonFiniteOrEarlierDatesChangeNothing) {
    WidgetPublishSchedule schedule;
    EXPECT_EQ(schedule.receive(std::numeric_limits<double>::quiet_NaN(), "a"), kNothing);
    EXPECT_EQ(schedule.receive(std::numeric_limits<double>::infinity(), "a"), kNothing);
    EXPECT_EQ(schedule, WidgetPublishSchedule());
    EXPECT_EQ(schedule.receive(t0, "a"), kReload);
    WidgetPublishSchedule before = schedule;
    EXPECT_EQ(schedule.receive(t0 - 3600, "a"), kNothing);  // the clock went back
    EXPECT_EQ(schedule, before);
    EXPECT_EQ(schedule.receive(t0 - 3600, "b"), kWrite);  // a change is still written
    EXPECT_TRUE(schedule.pending);
}

}  // namespace
}  // namespace pyrelle
