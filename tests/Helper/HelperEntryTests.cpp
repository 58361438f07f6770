// The entry's gate, administrator check and dispatch, driven in-process with stub commands.
#include <gtest/gtest.h>

#include <sstream>

#include "HelperEntry.hpp"
#include "pyrelle/ScopeError.hpp"

namespace {

using pyrelle::helper::Arguments;
using pyrelle::helper::HelperCommands;

constexpr const char* kGate = "Apple Silicon 当前仅支持独立风扇控制\n";
constexpr const char* kAdmin = "硬件控制需要管理员授权；监测不需要管理员权限。\n";
constexpr const char* kUsage =
    "允许的命令：probe、cooling、profile、auto、turbo-disable、turbo-enable\n";

struct Outcome {
    int status;
    std::string out;
    std::string err;
    std::string called;
};

Outcome invoke(Arguments args, bool administrator) {
    Outcome result{};
    HelperCommands commands;
    auto record = [&result](std::string name) {
        return [&result, name](const Arguments&, std::ostream& out) {
            result.called = name;
            out << name << " ok\n";
        };
    };
    commands.probe = record("probe");
    commands.fanProbe = record("fan-probe");
    commands.serve = record("serve");
    commands.profile = record("profile");
    commands.restoreAuto = record("auto");
    commands.cooling = [&result](const Arguments&, double seconds, std::ostream& out) {
        result.called = "cooling " + std::to_string(static_cast<int>(seconds));
        out << "cooled\n";
    };
    commands.isAdministrator = [administrator] { return administrator; };
    args.insert(args.begin(), "/usr/local/bin/PyrelleHelper");
    std::ostringstream out, err;
    result.status = pyrelle::helper::runHelper(args, commands, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

struct DispatchCase {
    const char* name;
    Arguments args;
    bool administrator;
    int status;
    const char* err;
    const char* called;
};

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, FollowsGateThenAdministratorThenCommand) {
    const auto& c = GetParam();
    const Outcome r = invoke(c.args, c.administrator);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.called, c.called);
    if (c.status != 0) {
        EXPECT_EQ(r.out, "") << "nothing on standard output after a failure";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Dispatch,
    ::testing::Values(
        DispatchCase{"NoArguments", {}, true, 1, kGate, ""},
        DispatchCase{"TestFanWithoutS", {"test-fan", "2", "501", "x"}, true, 1, kGate, ""},
        DispatchCase{"TurboEnable", {"turbo-enable"}, true, 1, kGate, ""},
        DispatchCase{"TurboDisable", {"turbo-disable"}, true, 1, kGate, ""},
        DispatchCase{
            "ProfileQuiet", {"profile", "quiet", "2", "501", "t", "c"}, true, 1, kGate, ""},
        DispatchCase{"ProfileAlone", {"profile"}, true, 1, kGate, ""},
        DispatchCase{"CaseMatters", {"Probe"}, false, 1, kGate, ""},
        DispatchCase{"ProbeAsUser", {"probe"}, false, 0, "", "probe"},
        DispatchCase{"FanProbeAsUser", {"fan-probe"}, false, 0, "", "fan-probe"},
        DispatchCase{"ProbeExtraAsUser", {"probe", "extra"}, false, 1, kAdmin, ""},
        DispatchCase{"ProbeExtraAsAdmin", {"probe", "extra"}, true, 1, kUsage, ""},
        DispatchCase{"FanProbeExtraAsAdmin", {"fan-probe", "x"}, true, 1, kUsage, ""},
        DispatchCase{"ServeAsUserIsAllowed", {"serve", "2", "501"}, false, 0, "", "serve"},
        DispatchCase{"ServeThreeElements", {"serve", "2"}, true, 1, kUsage, ""},
        DispatchCase{"ServeFiveElements", {"serve", "2", "501", "x"}, true, 1, kUsage, ""},
        DispatchCase{"ServeFiveElementsAsUser", {"serve", "2", "501", "x"}, false, 1, kAdmin, ""},
        DispatchCase{"CoolingAsUser", {"cooling", "2", "501", "t"}, false, 1, kAdmin, ""},
        DispatchCase{"Cooling", {"cooling", "2", "501", "t"}, true, 0, "", "cooling 300"},
        DispatchCase{"TestFans", {"test-fans", "2", "501", "t"}, true, 0, "", "cooling 5"},
        DispatchCase{
            "ProfileCustom", {"profile", "custom", "2", "501", "t", "c"}, true, 0, "", "profile"},
        DispatchCase{"AutoAsUser", {"auto"}, false, 1, kAdmin, ""},
        DispatchCase{"Auto", {"auto"}, true, 0, "", "auto"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HelperEntry, CommandFailureGoesToStandardErrorWithStatusOne) {
    HelperCommands commands;
    commands.isAdministrator = [] { return true; };
    commands.restoreAuto = [](const Arguments&, std::ostream& out) {
        out << "partial output that must not be shown\n";
        throw pyrelle::ScopeError("没有可读取的风扇");
    };
    std::ostringstream out, err;
    EXPECT_EQ(pyrelle::helper::runHelper({"helper", "auto"}, commands, out, err), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "没有可读取的风扇\n");
}

TEST(HelperEntry, MissingCommandFailsInsteadOfPretendingToSucceed) {
    HelperCommands commands;
    commands.isAdministrator = [] { return true; };
    std::ostringstream out, err;
    EXPECT_EQ(
        pyrelle::helper::runHelper({"helper", "cooling", "2", "501", "t"}, commands, out, err), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(err.str().empty());
}

}  // namespace
