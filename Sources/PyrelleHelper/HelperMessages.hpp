#pragma once
// The helper's own user-facing texts, kept in one place. Each is written followed by "\n".

#include "pyrelle/FanControlMessages.hpp"

namespace pyrelle::helper::messages {

inline constexpr const char* kGate = "Apple Silicon 当前仅支持独立风扇控制";
inline constexpr const char* kAdministrator = "硬件控制需要管理员授权；监测不需要管理员权限。";
inline constexpr const char* kNoFans = "没有可读取的风扇";
// Every message about fans that could not be handed back contains kRestoreFailedMark.
using fancontrol::messages::kFanNotAutomatic;
using fancontrol::messages::kRestoreFailed;
using fancontrol::messages::kRestoreFailedMark;
inline constexpr const char* kUsage =
    "允许的命令：probe、cooling、profile、auto、turbo-disable、turbo-enable";

// The guardian and the lease lock (see Guardian.hpp). The desktop application shows these,
// translated, from the helper's standard error or its error reply.
inline constexpr const char* kCannotGuard = "无法启动风扇守护进程，已拒绝控制";
// A new lease found the device still held: an earlier lease's guardian is handing back.
inline constexpr const char* kLeaseBusy = "上一个风扇会话仍在恢复系统自动，请稍后再试";
inline constexpr const char* kLeaseLockUnavailable =
    "无法建立风扇会话锁（/run/pyrelle），已拒绝控制";
// Written by the guardian, on the helper's standard error.
inline constexpr const char* kLeaseOverdue =
    "风扇会话超过时限仍未结束，守护进程已终止它并恢复系统自动";
inline constexpr const char* kGuardianStillTrying =
    "风扇守护进程已重试 10 分钟仍未能恢复系统自动，将继续缓慢重试；也可运行 auto。最近一次：";
inline constexpr const char* kGuardianDeviceGone =
    "风扇设备已断开或被替换，守护进程停止恢复；请在设备恢复后运行 auto";

}  // namespace pyrelle::helper::messages
