#pragma once
// The helper's own user-facing texts, kept in one place. Each is written followed by "\n".

namespace pyrelle::helper::messages {

inline constexpr const char* kGate = "Apple Silicon 当前仅支持独立风扇控制";
inline constexpr const char* kAdministrator = "硬件控制需要管理员授权；监测不需要管理员权限。";
inline constexpr const char* kNoFans = "没有可读取的风扇";
// Every message about fans that could not be handed back contains this text.
inline constexpr const char* kRestoreFailedMark = "恢复自动风扇失败";
inline constexpr const char* kRestoreFailed = "恢复自动风扇失败：";
inline constexpr const char* kUsage =
    "允许的命令：probe、cooling、profile、auto、turbo-disable、turbo-enable";

}  // namespace pyrelle::helper::messages
