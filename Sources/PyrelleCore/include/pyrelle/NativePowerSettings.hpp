#pragma once

#include <cstdint>
#include <string>

#include "pyrelle/PowerConfiguration.hpp"
#include "pyrelle/PowerSetting.hpp"
#include "pyrelle/PowerSource.hpp"
#include "pyrelle/ProcessRunner.hpp"

namespace pyrelle {

// Reads and writes the power-management settings through the system's settings tool
// ("-g custom" to list, "-c|-b <setting> <value>" to write), verifying every write by
// reading the settings back. Holds only its configuration; calls are independent.
class NativePowerSettings {
public:
    static constexpr const char* defaultToolPath = "/usr/bin/pmset";
    static constexpr double defaultReadTimeout = 8;
    static constexpr double defaultWriteTimeout = 12;

    NativePowerSettings() : NativePowerSettings(defaultToolPath) {}
    explicit NativePowerSettings(std::string toolPath, double readTimeout = defaultReadTimeout,
                                 double writeTimeout = defaultWriteTimeout,
                                 ProcessRunner::Options runner = {});

    // All readable settings. Fails with "电源设置读取失败" when the tool fails or lists no
    // source; the runner's failures (time-out, launch) pass through unchanged. The tool's
    // notes after values go to `notes` when given.
    PowerConfiguration read(PowerConfiguration::Notes* notes = nullptr) const;

    // Writes one setting and confirms it by reading back. Fails with "电源参数不在允许范围"
    // before running anything for an out-of-range value, "系统电源设置未完成：{output}"
    // when the tool fails, "系统电源设置读回不一致" when the value read back differs.
    void write(PowerSetting setting, PowerSource source, std::int64_t value) const;

private:
    std::string toolPath_;
    double readTimeout_;
    double writeTimeout_;
    ProcessRunner::Options runner_;
};

}  // namespace pyrelle
