#include "pyrelle/NativePowerSettings.hpp"

#include <utility>

#include "pyrelle/ScopeError.hpp"

namespace pyrelle {

namespace {

const char* const readFailed = "电源设置读取失败";
const char* const valueOutOfRange = "电源参数不在允许范围";
const char* const writeIncomplete = "系统电源设置未完成：";
const char* const readBackMismatch = "系统电源设置读回不一致";

}  // namespace

NativePowerSettings::NativePowerSettings(std::string toolPath, double readTimeout,
                                         double writeTimeout, ProcessRunner::Options runner)
    : toolPath_(std::move(toolPath)),
      readTimeout_(readTimeout),
      writeTimeout_(writeTimeout),
      runner_(std::move(runner)) {}

PowerConfiguration NativePowerSettings::read(PowerConfiguration::Notes* notes) const {
    const CommandResult result =
        ProcessRunner::run(toolPath_, {"-g", "custom"}, readTimeout_, runner_);
    if (result.status != 0) throw ScopeError(readFailed);
    PowerConfiguration configuration = PowerConfiguration::parse(result.output, notes);
    if (configuration.profiles.empty()) throw ScopeError(readFailed);
    return configuration;
}

void NativePowerSettings::write(PowerSetting setting, PowerSource source,
                                std::int64_t value) const {
    if (!valid(setting, value)) throw ScopeError(valueOutOfRange);
    const CommandResult result = ProcessRunner::run(
        toolPath_,
        {std::string(argument(source)), std::string(toText(setting)), std::to_string(value)},
        writeTimeout_, runner_);
    if (result.status != 0) throw ScopeError(writeIncomplete + result.output);
    if (read().value(setting, source) != value) throw ScopeError(readBackMismatch);
}

}  // namespace pyrelle
