#include <gtest/gtest.h>

#include "pyrelle/ScopeError.hpp"
#include "pyrelle/SleepBlocker.hpp"

using namespace pyrelle;
using nlohmann::json;

namespace {

std::vector<std::string> ids(const std::vector<SleepBlocker>& blockers) {
    std::vector<std::string> result;
    for (const auto& blocker : blockers) result.push_back(blocker.id());
    return result;
}

TEST(SleepBlocker, KeepsOnlyHeldAssertionsOfTheBlockingKinds) {
    const auto assertions = json::parse(R"({
        "45": [{"AssertType": "PreventSystemSleep", "AssertLevel": 255, "Process Name": "backupd",
                "AssertName": "Backup", "AssertStartWhen": 1000.5},
               {"AssertType": "PreventDiskIdle", "AssertLevel": 255},
               {"AssertType": "PreventUserIdleDisplaySleep", "AssertLevel": 0},
               {"AssertType": "PreventUserIdleDisplaySleep", "AssertLevel": "255"},
               {"AssertType": "PreventUserIdleDisplaySleep"},
               {"AssertLevel": 255}],
        "123": [{"AssertType": "PreventUserIdleSystemSleep", "AssertLevel": 1, "Process Name": 7, "AssertName": null},
                {"AssertType": "PreventUserIdleDisplaySleep", "AssertLevel": 0.5, "AssertStartWhen": "yesterday"}],
        "7": [{"AssertType": "PreventSystemSleep", "AssertLevel": 255}, "not an assertion"],
        "8": {"AssertType": "PreventSystemSleep", "AssertLevel": 255},
        "pid": [{"AssertType": "PreventSystemSleep", "AssertLevel": 255}],
        "99999999999": [{"AssertType": "PreventSystemSleep", "AssertLevel": 255}]
    })");
    const auto blockers = SleepBlocker::fromAssertions(assertions);
    // Sorted as text: pid 123 before pid 45.
    EXPECT_EQ(ids(blockers), (std::vector<std::string>{
                                 "123:PreventUserIdleDisplaySleep:PreventUserIdleDisplaySleep",
                                 "123:PreventUserIdleSystemSleep:PreventUserIdleSystemSleep",
                                 "45:PreventSystemSleep:Backup"}));
    EXPECT_EQ(blockers[0].name, "PID 123");
    EXPECT_EQ(blockers[0].since, std::nullopt);
    EXPECT_EQ(blockers[2],
              (SleepBlocker{45, "backupd", "Backup", "PreventSystemSleep", Date(1000.5)}));
}

TEST(SleepBlocker, UnavailableAssertionsAreAFailure) {
    const auto message = [](const SleepBlocker::AssertionSource& source) {
        try {
            SleepBlocker::read(source);
        } catch (const ScopeError& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_EQ(message([] { return std::nullopt; }), "休眠阻止状态不可读取");
    EXPECT_EQ(message([]() -> std::optional<json> { return json::array(); }),
              "休眠阻止状态不可读取");
    EXPECT_EQ(message([]() -> std::optional<json> { throw ScopeError("bus gone"); }),
              "休眠阻止状态不可读取");
    EXPECT_EQ(message([]() -> std::optional<json> { return json::object(); }), "");
}

TEST(SleepBlocker, ReadsLogindInhibitors) {
    const char* answer = R"json({"type":"a(ssssuu)","data":[[
        ["sleep","ModemManager","ModemManager needs to reset devices","delay",0,634],
        ["sleep:idle","Videos","Playing a film","block",1000,4242],
        ["shutdown","updater","Installing","block",0,77],
        ["idle","","","block",1000,9],
        ["sleep","broken","row","block",0,-1],
        ["sleep","short"]
    ]]})json";
    const auto assertions = SleepBlocker::assertionsFromInhibitors(answer);
    ASSERT_TRUE(assertions);
    const auto blockers = SleepBlocker::fromAssertions(*assertions);
    EXPECT_EQ(ids(blockers), (std::vector<std::string>{
                                 "4242:PreventSystemSleep:Playing a film",
                                 "4242:PreventUserIdleSystemSleep:Playing a film",
                                 "9:PreventUserIdleSystemSleep:PreventUserIdleSystemSleep"}));
    EXPECT_EQ(blockers[0].name, "Videos");
    EXPECT_EQ(blockers[2].name, "PID 9");

    EXPECT_EQ(SleepBlocker::assertionsFromInhibitors(R"json({"type":"a(ssssuu)","data":[[]]})json"),
              json::object());
    for (const char* bad :
         {"", "Failed to connect to bus", "[]", R"({"data":{}})", R"({"data":[1]})", "\xFF{"}) {
        EXPECT_EQ(SleepBlocker::assertionsFromInhibitors(bad), std::nullopt) << bad;
    }
}

TEST(SleepBlocker, SystemReadEitherListsOrFailsWithTheMessage) {
    // Test machines usually have no logind; either outcome must be clean.
    try {
        for (const auto& blocker : SleepBlocker::read()) EXPECT_FALSE(blocker.type.empty());
    } catch (const ScopeError& error) {
        EXPECT_STREQ(error.what(), "休眠阻止状态不可读取");
    }
}

TEST(SleepBlocker, JSONRoundTrip) {
    const SleepBlocker dated{12, "caffeinate", "caffeinate command-line tool",
                             "PreventUserIdleSystemSleep", Date(5)};
    const SleepBlocker undated{12, "PID 12", "PreventSystemSleep", "PreventSystemSleep",
                               std::nullopt};
    EXPECT_EQ(json(dated).get<SleepBlocker>(), dated);
    EXPECT_FALSE(json(undated).contains("since"));
    EXPECT_EQ(json(undated).get<SleepBlocker>(), undated);
}

}  // namespace
