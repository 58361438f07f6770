// Request validation and the Apple Silicon gate, message by message, and the JSON forms.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "pyrelle/ControlReply.hpp"
#include "pyrelle/ControlRequest.hpp"
#include "pyrelle/ScopeError.hpp"

namespace {

using namespace pyrelle;

const char* kRefused = "Apple Silicon 当前仅支持独立风扇控制，不支持 Intel 睿频或电源设置控制";

std::string repeat(const std::string& unit, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) result += unit;
    return result;
}

struct GateCase {
    const char* name;
    nlohmann::json request;
    std::string validation;  // "" when the request is valid
    std::string gate;        // the gate's answer on Apple Silicon ("" admitted)
};

class Gate : public ::testing::TestWithParam<GateCase> {};

std::string failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST_P(Gate, ValidatesThenAdmitsOnlyFanControl) {
    const auto& c = GetParam();
    const auto request = decodeControlRequest(c.request.dump());
    EXPECT_EQ(failureOf([&] { request.validate(); }), c.validation);
    EXPECT_EQ(failureOf([&] { FanControlPolicy::validate(request, true); }),
              c.validation.empty() ? c.gate : c.validation);
    EXPECT_EQ(failureOf([&] { FanControlPolicy::validate(request, false); }), c.validation);
}

const nlohmann::json kCurve = {
    {"points", {{{"temperature", 40}, {"percent", 20}}, {{"temperature", 80}, {"percent", 100}}}},
    {"sensor", "CPU"}};
const nlohmann::json kPlan = {{"source", "ac"},
                              {"scope", "current"},
                              {"lowPower", false},
                              {"disableTurbo", false},
                              {"displayMinutes", 5}};

INSTANTIATE_TEST_SUITE_P(
    Table, Gate,
    ::testing::Values(
        GateCase{"Hello", {{"command", "hello"}}, "", ""},
        GateCase{"Status", {{"command", "status"}}, "", ""},
        GateCase{"Auto", {{"command", "auto"}}, "", ""},
        GateCase{"TestFans", {{"command", "test-fans"}}, "", ""},
        GateCase{"Shutdown", {{"command", "shutdown"}}, "", ""},
        GateCase{"Unknown", {{"command", "reboot"}}, "未知控制命令", ""},
        GateCase{"UnknownCase", {{"command", "Status"}}, "未知控制命令", ""},
        GateCase{"TurboDisable", {{"command", "turbo-disable"}}, "", kRefused},
        GateCase{"TurboEnable", {{"command", "turbo-enable"}}, "", kRefused},
        GateCase{"OptimizeWithoutPlan", {{"command", "power-optimize"}}, "缺少优化方案", ""},
        GateCase{"RestoreWithoutBackup", {{"command", "power-restore"}}, "缺少恢复记录", ""},
        GateCase{"Optimize", {{"command", "power-optimize"}, {"powerPlan", kPlan}}, "", kRefused},
        GateCase{"InvalidPlan",
                 {{"command", "power-optimize"},
                  {"powerPlan",
                   {{"source", "ac"},
                    {"scope", "current"},
                    {"lowPower", false},
                    {"disableTurbo", false},
                    {"displayMinutes", 3}}}},
                 "无效的显示器休眠时间",
                 ""},
        GateCase{"PlanWithStatus",
                 {{"command", "status"}, {"powerPlan", kPlan}},
                 "电源方案命令不匹配",
                 ""},
        GateCase{
            "ProfileAutomatic", {{"command", "profile"}, {"profile", "automatic"}}, "无效模式", ""},
        GateCase{
            "ProfileChineseName", {{"command", "profile"}, {"profile", "静音"}}, "无效模式", ""},
        GateCase{"ProfileMissing", {{"command", "profile"}}, "无效模式", ""},
        GateCase{"ProfileQuiet", {{"command", "profile"}, {"profile", "quiet"}}, "", kRefused},
        GateCase{
            "CustomWithoutCurve", {{"command", "profile"}, {"profile", "custom"}}, "缺少曲线", ""},
        GateCase{"CustomInvalidCurve",
                 {{"command", "profile"},
                  {"profile", "custom"},
                  {"curve", {{"points", nlohmann::json::array()}, {"sensor", "CPU"}}}},
                 "曲线需要 2 至 8 个控制点",
                 ""},
        GateCase{
            "Custom", {{"command", "profile"}, {"profile", "custom"}, {"curve", kCurve}}, "", ""},
        GateCase{"DurationZero", {{"command", "status"}, {"duration", 0}}, "无效控制时长", ""},
        GateCase{"Duration1800", {{"command", "status"}, {"duration", 1800}}, "", ""},
        GateCase{
            "Duration1801", {{"command", "status"}, {"duration", 1800.001}}, "无效控制时长", ""},
        GateCase{"Label78Bytes", {{"command", "status"}, {"label", repeat("风", 26)}}, "", ""},
        GateCase{"Label81Bytes",
                 {{"command", "status"}, {"label", repeat("风", 27)}},
                 "模式名称过长",
                 ""},
        GateCase{"UnknownKeysIgnored", {{"command", "hello"}, {"extra", {1, 2}}}, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ControlRequest, DecodingFailuresCarryADescription) {
    for (const char* line :
         {"", "{", "[]", "{\"command\":1}", "{\"profile\":\"custom\"}",
          "{\"command\":\"status\",\"duration\":\"5\"}", "{\"command\":\"status\",\"label\":7}",
          "{\"command\":\"profile\",\"curve\":{\"points\":[]}}",
          "{\"command\":\"status\",\"duration\":1e400}"}) {
        const auto message = failureOf([&] { decodeControlRequest(line); });
        EXPECT_FALSE(message.empty()) << line;
    }
    EXPECT_EQ(decodeControlRequest("{\"command\":\"status\",\"label\":null}").label, std::nullopt);
}

TEST(ControlRequest, RoundTripsWithAbsentFieldsLeftOut) {
    ControlRequest request;
    request.command = "profile";
    request.profile = "custom";
    request.curve = kCurve.get<FanCurve>();
    request.duration = 600;
    const nlohmann::json json = request;
    EXPECT_FALSE(json.contains("label"));
    EXPECT_FALSE(json.contains("powerPlan"));
    EXPECT_EQ(decodeControlRequest(json.dump()), request);
}

TEST(ControlReply, CompactFormLeavesAbsentFieldsOut) {
    ControlReply reply;
    reply.ok = true;
    reply.message = "风扇曲线运行中";
    reply.session = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    reply.fanStatus = FanSessionStatus{12.5, {{0, 3200}, {1, 3840}}, false};
    const nlohmann::json json = reply;
    EXPECT_EQ(
        json.dump(),
        R"({"fanStatus":{"protectionActive":false,"remainingSeconds":12.5,"targets":[{"id":0,"rpm":3200.0},{"id":1,"rpm":3840.0}]},"message":"风扇曲线运行中","ok":true,"session":"6F9619FF-8B86-D011-B42D-00C04FC964FF"})");
    EXPECT_EQ(json.get<ControlReply>(), reply);
    EXPECT_EQ(nlohmann::json(ControlReply::failure("未知控制命令")).dump(),
              R"({"message":"未知控制命令","ok":false})");
}

}  // namespace

#include "pyrelle/AppDistribution.hpp"
#include "pyrelle/OperationIssue.hpp"

namespace {

TEST(OperationIssue, ClassifiesByTheFirstMatchingRule) {
    using pyrelle::OperationIssue;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"风扇控制被改变或无法读取，已停止曲线；恢复自动风扇失败：SMC F0Md 写入失败（130）",
         "系统自动风扇未确认恢复"},
        {"SMC F0Tg 回读不一致：目标 2000.00，读回 1500.00；恢复自动风扇失败：x",
         "系统自动风扇未确认恢复"},
        {"SMC F0Tg 回读不一致：目标 2000.00，读回 无法读取", "风扇设置尚未确认"},
        {"execution error: User canceled. (-128)", "授权已取消"},
        {"用户取消了授权", "授权已取消"},
        {"user canceled", "操作未完成"},
        {"", "操作未完成"},
    };
    for (const auto& [message, title] : cases) {
        EXPECT_EQ(OperationIssue(message).title, title) << message;
    }
    EXPECT_EQ(OperationIssue("").guidance, "当前设置未确认生效，请查看技术详情并检查硬件状态。");
    static_assert(!pyrelle::AppDistribution::isAppStore);
    static_assert(pyrelle::AppDistribution::hardwareControlAvailable);
}

}  // namespace

namespace {

using pyrelle::ControlReply;

struct LongMessage {
    const char* name;
    std::string unit;  // the message is this, repeated: a cut falls between two units
};

class ReplyLimit : public ::testing::TestWithParam<LongMessage> {};

// However long a failure text (a 5 KB one once made a 5 KB reply), the reply line with its
// newline stays within the reply limit: the message keeps its beginning, is cut between
// characters, no more than needed, and says it was cut.
TEST_P(ReplyLimit, CutsTheMessageToFit) {
    const std::string message = repeat(GetParam().unit, 16000 / GetParam().unit.size());
    ControlReply reply = ControlReply::failure(message);
    reply.label = repeat("风", 26);
    const auto fitted = reply.fitted();
    const auto line = nlohmann::json(fitted).dump() + "\n";
    EXPECT_LE(line.size(), ControlReply::kReplyLimit);
    EXPECT_GT(line.size(), ControlReply::kReplyLimit - 12);
    EXPECT_EQ(fitted.label, reply.label);
    const auto kept = fitted.message.substr(0, fitted.message.size() - 3);
    EXPECT_EQ(fitted.message.substr(kept.size()), "…");
    EXPECT_EQ(message.rfind(kept, 0), 0u) << "a prefix of the original";
    EXPECT_EQ(kept.size() % GetParam().unit.size(), 0u);
    EXPECT_EQ(ControlReply::failure("风").fitted(), ControlReply::failure("风"));
}

INSTANTIATE_TEST_SUITE_P(ControlReply, ReplyLimit,
                         ::testing::Values(LongMessage{"Latin", "x"}, LongMessage{"Chinese", "风"},
                                           LongMessage{"Escaped", "\x01"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
