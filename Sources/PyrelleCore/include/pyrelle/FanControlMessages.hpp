#pragma once
// The fan-control texts the user sees, kept in one place.

namespace pyrelle::fancontrol::messages {

// Curve validation.
inline constexpr const char* kPointCount = "曲线需要 2 至 8 个控制点";
inline constexpr const char* kPointRange = "曲线温度范围为 30–100°C，转速范围为 0–100%";
inline constexpr const char* kPointOrder = "温度控制点至少间隔 2°C，转速必须随温度升高而不降低";
inline constexpr const char* kLastPoint = "最后一个点必须在 90°C 或更低达到 100% 转速";

// Cooling lease.
inline constexpr const char* kCoolingDuration = "散热会话必须在 5 分钟以内";
inline constexpr const char* kCoolingNotAutomatic =
    "请先恢复系统自动风扇并退出其他风扇控制软件；也可能是此机型没有可写的风扇接口。";
inline constexpr const char* kCoolingRatedRange = "风扇额定转速无法验证，已拒绝控制";
inline constexpr const char* kInheritedTarget = "风扇当前目标转速无法验证，已拒绝切换手动模式";
inline constexpr const char* kCoolingCancelled = "散热会话已取消或超时";
inline constexpr const char* kCoolingChanged = "检测到风扇状态改变或无法读取，散热会话已停止";

// Restore. Every message about fans that could not be handed back contains kRestoreFailedMark.
inline constexpr const char* kRestoreFailedMark = "恢复自动风扇失败";
inline constexpr const char* kRestoreFailed = "恢复自动风扇失败：";
// A fan found out of automatic control where it must be automatic (take-over, session status).
inline constexpr const char* kFanNotAutomatic = "风扇未处于系统自动，请先退出其他风扇控制程序";
inline constexpr const char* kJoin = "；";

// Curve lease.
inline constexpr const char* kCurveDuration = "曲线会话最长 30 分钟";
inline constexpr const char* kCurveNotAutomatic = "请先恢复系统自动风扇并退出其他控制程序";
inline constexpr const char* kCurveRatedRange = "无法验证风扇额定范围";
inline constexpr const char* kCurveSensor = "控制温度传感器不可用，已停止曲线并恢复系统自动";
inline constexpr const char* kCurveChanged = "风扇控制被改变或无法读取，已停止曲线";

}  // namespace pyrelle::fancontrol::messages
