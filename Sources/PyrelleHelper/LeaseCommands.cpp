#include "LeaseCommands.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>
#include <ostream>
#include <thread>

#include "CSMC.h"
#include "GuardedFans.hpp"
#include "Guardian.hpp"
#include "HelperMessages.hpp"
#include "OwnerWatch.hpp"
#include "pyrelle/Base64.hpp"
#include "pyrelle/CoolingLease.hpp"
#include "pyrelle/CurveLease.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/SMC.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/ThermalProfile.hpp"

namespace pyrelle::helper {

namespace {

constexpr const char* kInvalidArguments = "无效参数";
constexpr const char* kInvalidCooling = "无效的散热会话参数或发起程序已经退出";
constexpr const char* kInvalidProfile = "无效的模式会话参数";
constexpr const char* kInvalidCurve = "曲线数据无效";
constexpr const char* kNotReady =
    "风扇必须处于系统自动，且控制温度传感器可读取；请先退出其他调控软件。";
constexpr const char* kCoolingDone = "散热会话结束，已确认风扇恢复系统自动。";
constexpr const char* kProfileDone = "模式会话结束，风扇已恢复系统自动；保留睿频选择。";
constexpr const char* kAutoDone = "风扇已恢复系统自动。";

constexpr size_t kCurveLimit = 4096;  // bytes of the base64 argument

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The owner identity of elements pidIndex, pidIndex + 1 and pidIndex + 2, or absent.
std::optional<LeaseOwner> parseOwner(const Arguments& args, size_t pidIndex,
                                     const LeaseEnvironment& environment) {
    const auto pid = parseOwnerPid(args[pidIndex]);
    const auto uid = parseOwnerUid(args[pidIndex + 1]);
    const auto token = canonicalToken(args[pidIndex + 2]);
    if (!pid || !uid || !token || !environment.ownerAlive(*pid, *uid)) return std::nullopt;
    return LeaseOwner{*pid, *uid, stopFilePath(*token)};
}

// The lease's end: a stop signal, the owner gone, its stop file, or the end of the time its
// guardian was told (the guardian ends a helper that overruns it).
std::function<bool()> cancellation(const LeaseOwner& owner, const LeaseEnvironment& environment,
                                   double deadline) {
    return [owner, &environment, deadline] {
        return environment.stopSignalled() || !environment.ownerAlive(owner.pid, owner.uid) ||
               environment.stopFilePresent(owner.stopFile, owner.uid) ||
               environment.now() >= deadline;
    };
}

bool restoreFailed(const std::exception& error) {
    return std::string(error.what()).find(messages::kRestoreFailedMark) != std::string::npos;
}

// Runs a lease through `fans` and tells the guardian when it ended with the fans handed back
// (a clean end, or a failure whose own restore succeeded); after a failed hand-back the guardian
// stays armed and tries again once this helper has gone.
template <typename Lease>
void guarded(GuardedFans& fans, const Lease& lease) {
    try {
        lease();
    } catch (const std::exception& error) {
        if (!restoreFailed(error)) fans.handedBack();
        throw;
    }
    fans.handedBack();
}

}  // namespace

std::optional<long long> parseDecimal(const std::string& text) {
    size_t start = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) start = 1;
    if (start == text.size() || text.size() - start > 19) return std::nullopt;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    }
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return std::nullopt;
    return value;
}

LeaseEnvironment LeaseEnvironment::system() {
    LeaseEnvironment environment;
    environment.now = [] { return pyr_continuous_seconds(); };
    environment.sleep = [](double seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    environment.installStopHandlers = [] { pyr_install_stop_handlers(); };
    environment.stopSignalled = [] { return pyr_should_stop() == 1; };
    auto owners = std::make_shared<OwnerWatch>(
        [](int32_t pid, uint32_t uid) { return pyr_owner_alive(pid, uid) == 1; });
    environment.ownerAlive = [owners](int32_t pid, uint32_t uid) {
        return owners->alive(pid, uid);
    };
    environment.stopFilePresent = [](const std::string& path, uint32_t owner) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               (info.st_uid == owner || info.st_uid == 0);
    };
    return environment;
}

std::optional<int32_t> parseOwnerPid(const std::string& text) {
    const auto value = parseDecimal(text);
    if (!value || *value < 2 || *value > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(*value);
}

std::optional<uint32_t> parseOwnerUid(const std::string& text) {
    const auto value = parseDecimal(text);
    if (!value || *value < 0 || *value > std::numeric_limits<uint32_t>::max() || *value == 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(*value);
}

std::optional<std::string> canonicalToken(const std::string& text) {
    if (text.size() != 36) return std::nullopt;
    std::string upper = text;
    for (size_t i = 0; i < upper.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? upper[i] != '-' : !isHex(upper[i])) return std::nullopt;
        if (upper[i] >= 'a' && upper[i] <= 'f') upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
    }
    return upper;
}

std::string stopFilePath(const std::string& token) {
    return "/tmp/pyrelle-stop-" + token;
}

void runCooling(const Arguments& args, double duration, std::ostream& out,
                const LeaseEnvironment& environment) {
    if (args.size() != 5) throw ScopeError(kInvalidCooling);
    const auto owner = parseOwner(args, 2, environment);
    if (!owner) throw ScopeError(kInvalidCooling);
    environment.installStopHandlers();

    SMC smc;
    Guardian guardian(guardianHandBack);
    GuardedFans fans(smc, &guardian);
    fans.begin(duration);
    const double deadline = environment.now() + duration;
    guarded(fans, [&] {
        CoolingLease::run(
            fans, duration, environment.now, cancellation(*owner, environment, deadline),
            [&environment] { environment.sleep(1); }, handBackRetry(smc, false));
    });
    out << kCoolingDone << '\n';
}

void runProfile(const Arguments& args, std::ostream& out, const LeaseEnvironment& environment) {
    if (args.size() != 7) throw ScopeError(kInvalidProfile);
    const auto owner = parseOwner(args, 3, environment);
    const auto profile = parseThermalProfileCommand(args[2]);
    if (!owner || !profile) throw ScopeError(kInvalidProfile);

    const std::string& encoded = args[6];
    if (encoded.size() > kCurveLimit) throw ScopeError(kInvalidCurve);
    const auto bytes = Base64::decodeText(encoded);
    if (!bytes) throw ScopeError(kInvalidCurve);
    const FanCurve curve = decodeFanCurve(*bytes);
    curve.validate();

    environment.installStopHandlers();
    constexpr double kDuration = 1800;
    double deadline = environment.now() + kDuration;
    auto isCancelled = cancellation(*owner, environment, deadline);
    if (isCancelled()) return;

    SMC smc;
    HardwareSampler sampler;
    const auto fans = smc.fans();
    const Snapshot snapshot = sampler.sample();
    const auto control = temperature(curve.sensor, snapshot);
    bool ready = !fans.empty() && snapshot.cpuTemperature().has_value() && control.has_value();
    for (const auto& fan : fans) {
        ready = ready && fan.controllable && fan.manual.has_value() && !*fan.manual;
    }
    if (!ready) throw ScopeError(kNotReady);
    if (isCancelled()) return;

    Guardian guardian(guardianHandBack);
    GuardedFans guardedFans(smc, &guardian);
    guardedFans.begin(kDuration);
    deadline = environment.now() + kDuration;
    isCancelled = cancellation(*owner, environment, deadline);
    guarded(guardedFans, [&] {
        CurveLease::run(
            guardedFans, curve, kDuration, [&sampler] { return sampler.sample(); }, environment.now,
            isCancelled, [&environment] { environment.sleep(2); }, {}, handBackRetry(smc, false));
    });
    out << kProfileDone << '\n';
}

void runAuto(const Arguments& args, std::ostream& out) {
    if (args.size() != 2) throw ScopeError(kInvalidArguments);
    SMC smc;
    handBackAll(smc, handBackRetry(smc, true));
    out << kAutoDone << '\n';
}

HandBackRetry handBackRetry(SMC& smc, bool releaseUnlock) {
    HandBackRetry retry;
    retry.passes = HandBackRetry::kPasses;
    retry.window = HandBackRetry::kWindow;
    retry.pause = HandBackRetry::kPause;
    retry.now = [] { return pyr_continuous_seconds(); };
    retry.sleep = [](double seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    // A connection that broke (a dropped stream, a reply that never came) stays unusable;
    // a new one is cheap, and the hand-back state of the fans lives in `smc`, not in it.
    retry.reconnect = [&smc] { smc.reopen(); };
    if (releaseUnlock) {
        // A session that died without restoring leaves the unlock flag set, and then no fan
        // can be confirmed automatic. Handing the fans back is what was asked for: clear it.
        retry.releaseUnlock = [&smc] {
            const auto unlock = smc.number("Ftst");
            if (!unlock || *unlock == 0) return false;
            smc.write("Ftst", 0);
            return true;
        };
    }
    return retry;
}

void handBackAll(CoolingHardware& fans, const HandBackRetry& retry) {
    std::vector<FanReading> list = fans.fans();
    for (int pass = 1; list.empty() && pass < retry.passes; ++pass) {
        if (retry.sleep) retry.sleep(retry.pause);
        if (retry.reconnect) retry.reconnect();
        list = fans.fans();
    }
    if (list.empty()) throw ScopeError(messages::kNoFans);
    std::vector<int> ids;
    ids.reserve(list.size());
    for (const auto& fan : list) ids.push_back(fan.id);
    CoolingLease::restoreAuto(fans, ids, retry);
}

void guardianHandBack() {
    SMC smc;
    HandBackRetry retry = handBackRetry(smc, true);
    retry.passes = 1;  // the guardian's own rounds are the retries
    handBackAll(smc, retry);
    const auto fans = smc.fans();
    if (fans.empty()) throw ScopeError(messages::kNoFans);
    for (const auto& fan : fans) {
        if (!fan.manual || *fan.manual) throw ScopeError(messages::kFanNotAutomatic);
    }
    const auto unlock = smc.number("Ftst");
    if (unlock && *unlock != 0) smc.write("Ftst", 0);
}

}  // namespace pyrelle::helper
