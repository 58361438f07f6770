#pragma once
// The distribution edition: whether this build may control hardware at all. This build is
// the edition with hardware control; the message is what a monitoring-only edition shows.

namespace pyrelle::AppDistribution {

inline constexpr bool isAppStore = false;
inline constexpr bool hardwareControlAvailable = true;
inline constexpr const char* monitoringOnlyMessage =
    "App Store 版仅监测硬件状态，风扇转速由系统或其他控制器管理。";

}  // namespace pyrelle::AppDistribution
