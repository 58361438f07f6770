// The helper's command line as the desktop application and a person meet it: real processes,
// real exit statuses, and a real virtual Mac behind PYRELLE_SMC_SOCKET.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/Subprocess.hpp"
#include "support/VirtualMac.hpp"

namespace {

using pyrelle::testing::binaryPath;
using pyrelle::testing::ProcessOptions;
using pyrelle::testing::runProcess;
using pyrelle::testing::VirtualMac;

const std::string kHelper = binaryPath("Sources/PyrelleHelper/PyrelleHelper");
constexpr const char* kGate = "Apple Silicon 当前仅支持独立风扇控制\n";
constexpr const char* kAdmin = "硬件控制需要管理员授权；监测不需要管理员权限。\n";
constexpr const char* kUsage =
    "允许的命令：probe、cooling、profile、auto、turbo-disable、turbo-enable\n";

ProcessOptions noDevice() {
    ProcessOptions options;
    options.unset = {"PYRELLE_SMC_SOCKET"};
    return options;
}

// Runs the helper as an unprivileged user (nobody), the way a person's shell would.
std::vector<std::string> asNobody(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid", "65534", "--regid", "65534",
                               "--clear-groups", kHelper});
    return args;
}

TEST(HelperCommandLine, FanProbeReadsTheFanZeroKeysOfTheVirtualMac) {
    VirtualMac mac("apple-m4-pro");
    ProcessOptions options;
    options.environment["PYRELLE_SMC_SOCKET"] = mac.socket();
    const auto r = runProcess({kHelper, "fan-probe"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    const auto keys = nlohmann::json::parse(r.out);
    EXPECT_EQ(keys.at("FNum").get<double>(), 2);
    EXPECT_EQ(keys.at("Ftst").get<double>(), 0);
    EXPECT_GT(keys.at("F0Mx").get<double>(), keys.at("F0Mn").get<double>());
    EXPECT_TRUE(keys.contains("F0Ac"));
    EXPECT_TRUE(keys.contains("F0Md"));
    EXPECT_FALSE(keys.contains("FS! ")) << "Apple Silicon has no forced-mode mask";
    EXPECT_EQ(r.out.find(' '), std::string::npos) << "compact encoding";
}

TEST(HelperCommandLine, FanProbeOnIntelReadsTheMask) {
    VirtualMac mac("intel");
    ProcessOptions options;
    options.environment["PYRELLE_SMC_SOCKET"] = mac.socket();
    const auto r = runProcess({kHelper, "fan-probe"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto keys = nlohmann::json::parse(r.out);
    EXPECT_TRUE(keys.contains("FS! "));
    EXPECT_FALSE(keys.contains("F0Md"));
}

TEST(HelperCommandLine, FanProbeWithoutDevicePrintsEmptyObject) {
    const auto r = runProcess({kHelper, "fan-probe"}, noDevice());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{}\n");
    EXPECT_EQ(r.err, "");
}

TEST(HelperCommandLine, FanProbeWithVanishedDevicePrintsEmptyObject) {
    ProcessOptions options;
    options.environment["PYRELLE_SMC_SOCKET"] = "/tmp/pyrelle-no-such-socket";
    const auto r = runProcess({kHelper, "fan-probe"}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{}\n");
}

TEST(HelperCommandLine, FanProbeNeedsNoAdministrator) {
    VirtualMac mac("apple-m4-pro");
    mac.shareWithAllUsers();
    ProcessOptions options;
    options.environment["PYRELLE_SMC_SOCKET"] = mac.socket();
    const auto r = runProcess(asNobody({"fan-probe"}), options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("FNum"), std::string::npos);
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    bool asRoot;
    const char* err;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, PrintOneMessageAndExitWithStatusOne) {
    const auto& c = GetParam();
    std::vector<std::string> argv = c.args;
    if (c.asRoot) {
        argv.insert(argv.begin(), kHelper);
    } else {
        argv = asNobody(argv);
    }
    const auto r = runProcess(argv, noDevice());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Refusals,
    ::testing::Values(RefusalCase{"NoArguments", {}, true, kGate},
                      RefusalCase{"TurboEnable", {"turbo-enable"}, true, kGate},
                      RefusalCase{"TestFan", {"test-fan", "2", "501", "x"}, true, kGate},
                      RefusalCase{
                          "ProfileQuiet", {"profile", "quiet", "2", "501", "t", "c"}, true, kGate},
                      RefusalCase{"AutoAsNobody", {"auto"}, false, kAdmin},
                      RefusalCase{"CoolingAsNobody",
                                  {"cooling", "2", "501", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
                                  false,
                                  kAdmin},
                      RefusalCase{"ProbeExtraAsNobody", {"probe", "extra"}, false, kAdmin},
                      RefusalCase{"ProbeExtraAsRoot", {"probe", "extra"}, true, kUsage},
                      RefusalCase{"ServeThreeAsRoot", {"serve", "2"}, true, kUsage},
                      RefusalCase{"ServeFiveAsRoot", {"serve", "2", "501", "x"}, true, kUsage}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
