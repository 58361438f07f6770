#include "Web/Wording.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <regex>
#include <utility>

#include "pyrelle/MemoryPressure.hpp"

namespace kilnview::Wording {

using namespace pyrelle;

namespace {

constexpr const char* kNone = "—";
constexpr const char* kSpeedLimit = "速度上限";
constexpr const char* kSleepBlockers = "个睡眠阻止项";

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

bool usable(std::optional<double> value) {
    return value && std::isfinite(*value);
}

}  // namespace

std::string state(DiagnosticState state, const AppText& text) {
    switch (state) {
        case DiagnosticState::sampling: return text("正在采样");
        case DiagnosticState::attention: return text("需要关注");
        case DiagnosticState::observing: return text("值得观察");
        case DiagnosticState::stable: return text("运行平稳");
        case DiagnosticState::partial: return text("数据不完整");
    }
    return kNone;
}

std::string severity(DiagnosticSeverity severity, const AppText& text) {
    switch (severity) {
        case DiagnosticSeverity::information: return text("提示");
        case DiagnosticSeverity::warning: return text("警告");
        case DiagnosticSeverity::critical: return text("严重");
    }
    return kNone;
}

std::string findingTitle(const DiagnosticFinding& finding, const AppText& text) {
    const std::string subject = finding.subject.value_or("");
    switch (finding.kind) {
        case DiagnosticKind::thermalPressure: return text("系统热压力升高");
        case DiagnosticKind::thermalLimit: return text("系统因温度限制性能");
        case DiagnosticKind::performanceLimit: return text("系统正在限制性能");
        case DiagnosticKind::temperature: return subject + " " + text("持续高温");
        case DiagnosticKind::temperatureObservation: return subject + " " + text("温度偏高");
        case DiagnosticKind::sustainedCPU: return subject + " " + text("持续占用 CPU");
        case DiagnosticKind::memoryPressure: return text("内存压力偏高");
        case DiagnosticKind::diskActivity: return subject + " " + text("磁盘读写频繁");
        case DiagnosticKind::wakeRequests: return text("有程序阻止睡眠");
        case DiagnosticKind::batteryPolicy: return text("电量低且未开启低电量模式");
        case DiagnosticKind::unavailable: return text("部分数据无法读取");
    }
    return kNone;
}

std::string findingDetail(const DiagnosticFinding& finding, const AppText& text) {
    std::string detail;
    if (finding.value) {
        switch (finding.kind) {
            case DiagnosticKind::temperature:
            case DiagnosticKind::temperatureObservation: detail = celsius(finding.value); break;
            case DiagnosticKind::sustainedCPU: detail = format("%.0f %%", *finding.value); break;
            case DiagnosticKind::performanceLimit:
                detail = text(kSpeedLimit) + " " + format("%.0f %%", *finding.value);
                break;
            case DiagnosticKind::diskActivity: detail = rate(finding.value); break;
            case DiagnosticKind::batteryPolicy:
                detail = text("电量") + " " + format("%.0f %%", *finding.value);
                break;
            case DiagnosticKind::wakeRequests:
                detail = format("%.0f", *finding.value) + " " + text(kSleepBlockers);
                break;
            case DiagnosticKind::memoryPressure:
                if (auto pressure = memoryPressureFromValue(static_cast<int64_t>(*finding.value)))
                    detail = text(title(*pressure));
                break;
            default: break;
        }
    }
    if (finding.seconds && *finding.seconds > 0) {
        if (!detail.empty()) detail += " · ";
        detail += text("已持续") + " " + format("%.0f", *finding.seconds) + " " + text("秒");
    }
    if (finding.confidence == DiagnosticConfidence::possible) {
        if (!detail.empty()) detail += " · ";
        detail += text("可能的原因");
    }
    return detail;
}

std::string action(const DiagnosticFinding& finding, const AppText& text) {
    switch (finding.action.kind()) {
        case DiagnosticAction::Case::reviewApplication: return text("查看该程序的活动");
        case DiagnosticAction::Case::memoryProcesses: return text("查看占用内存的进程");
        case DiagnosticAction::Case::diskProcesses: return text("查看读写磁盘的进程");
        case DiagnosticAction::Case::temperatureTimeline: return text("查看温度历史");
        case DiagnosticAction::Case::wakeRequests: return text("查看阻止睡眠的程序");
        case DiagnosticAction::Case::lowPowerPlan: return text("查看电源方案");
        case DiagnosticAction::Case::refresh: return text("稍后刷新");
    }
    return kNone;
}

std::string figure(DiagnosticFigure figure, const AppText& text) {
    switch (figure) {
        case DiagnosticFigure::cpuTemperature: return text("CPU 温度");
        case DiagnosticFigure::cpuUsage: return text("CPU 负载");
        case DiagnosticFigure::speedLimit: return text(kSpeedLimit);
        case DiagnosticFigure::schedulerLimit: return text("调度上限");
        case DiagnosticFigure::memoryPressure: return text("内存压力");
        case DiagnosticFigure::availableCPUs: return text("可用 CPU 数");
        case DiagnosticFigure::processFigures: return text("进程数据");
        case DiagnosticFigure::sleepBlockers: return text(kSleepBlockers);
    }
    return kNone;
}

std::string findingDetail(const DiagnosticFinding& finding, const AppView& view,
                          const AppText& text) {
    if (finding.kind != DiagnosticKind::unavailable || view.missing.empty())
        return findingDetail(finding, text);
    std::string detail = text("缺少") + ": ";
    for (std::size_t i = 0; i < view.missing.size(); ++i) {
        if (i) detail += ", ";
        detail += figure(view.missing[i], text);
    }
    return detail;
}

std::string action(const DiagnosticFinding& finding, const AppView& view, const AppText& text) {
    if (finding.kind != DiagnosticKind::unavailable || view.missing.empty())
        return action(finding, text);
    // The SMC coming back helps; a figure that comes with the next samples helps itself;
    // anything else this machine simply does not provide.
    const auto lacks = [&](DiagnosticFigure figure) {
        return std::find(view.missing.begin(), view.missing.end(), figure) != view.missing.end();
    };
    if (view.device.outage() && lacks(DiagnosticFigure::cpuTemperature))
        return outage(view.device, text);
    if (lacks(DiagnosticFigure::cpuUsage) || lacks(DiagnosticFigure::processFigures))
        return action(finding, text);  // the core's own advice: refresh later
    return text("此机器不提供这些数据，刷新也无济于事");
}

std::string clock(Date date) {
    if (!date.isFinite()) return kNone;
    const std::time_t seconds = static_cast<std::time_t>(std::floor(date.unixTime()));
    std::tm local{};
    if (!::localtime_r(&seconds, &local)) return kNone;
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
    return buffer;
}

std::string outage(const DeviceStatus& device, const AppText& text) {
    if (!device.outage() || !device.silentSince) return "";
    return filled(text("SMC 自 {time} 起没有响应；正在重试"), "time", clock(*device.silentSince));
}

std::string smcMissing(const AppView& view, const AppText& text) {
    if (!view.latest || view.latest->smcAvailable || view.device.outage()) return "";
    return text("无法读取 SMC：温度与风扇数据不可用");
}

namespace {

// The core's SMC failures name the key, a status and figures: each shape has one table text
// with those as placeholders. Read-back values may be words ("无法读取"), translated too.
std::optional<std::string> smcFailure(std::string_view words, const AppText& text) {
    struct Shape {
        std::regex match;
        const char* source;
        std::vector<const char*> names;
    };
    static const Shape kShapes[] = {
        {std::regex("SMC (\\S+) 读取失败（(-?\\d+)）"),
         "SMC {key} 读取失败（{code}）",
         {"key", "code"}},
        {std::regex("SMC (\\S+) 读取失败（(-?\\d+)），设备没有正常响应"),
         "SMC {key} 读取失败（{code}），设备没有正常响应",
         {"key", "code"}},
        {std::regex("SMC (\\S+) 写入失败（(-?\\d+)）"),
         "SMC {key} 写入失败（{code}）",
         {"key", "code"}},
        {std::regex("SMC (\\S+) 写入失败（(-?\\d+)），设备没有正常响应"),
         "SMC {key} 写入失败（{code}），设备没有正常响应",
         {"key", "code"}},
        {std::regex("SMC (\\S+) 不支持写入这个数值"), "SMC {key} 不支持写入这个数值", {"key"}},
        {std::regex("SMC (\\S+) 回读不一致，操作未确认（目标 (.+?)，读回 (.+?)；已等待最多 2 秒）"),
         "SMC {key} 回读不一致，操作未确认（目标 {target}，读回 {read}；已等待最多 2 秒）",
         {"key", "target", "read"}},
    };
    // std::regex recurses per character: only sentences of the core's own length are tried.
    if (words.size() > 512 || words.rfind("SMC ", 0) != 0) return std::nullopt;
    const std::string subject(words);
    std::smatch found;
    for (const Shape& shape : kShapes) {
        if (!std::regex_match(subject, found, shape.match)) continue;
        std::string sentence = text(shape.source);
        for (std::size_t i = 0; i < shape.names.size(); ++i)
            sentence = filled(std::move(sentence), shape.names[i], text(found[i + 1].str()));
        return sentence;
    }
    return std::nullopt;
}

}  // namespace

std::string helperWords(std::string_view words, const AppText& text) {
    const std::string whole = text(words);
    if (whole != words) return whole;
    // The helper's sentences are short; anything longer is shown as it came, not searched.
    if (words.size() > 1024) return whole;
    if (auto sentence = smcFailure(words, text)) return *sentence;
    // The source texts' full-width separators, as the reader's language writes them.
    const bool chinese = text.language().rfind("zh", 0) == 0;
    const auto written = [&](std::string_view mark) {
        return std::string(chinese ? mark : (mark == "；" ? "; " : ": "));
    };
    // The longest head the table knows, then whatever follows it; else clause by clause.
    std::optional<std::pair<std::size_t, std::string_view>> first;
    for (std::size_t at = words.size(); at-- > 0;) {
        for (const std::string_view mark : {std::string_view("；"), std::string_view("：")}) {
            if (words.substr(at, mark.size()) != mark) continue;
            first = {at, mark};
            const std::string_view head = words.substr(0, at);
            if (text(head) != head)
                return text(head) + written(mark) +
                       helperWords(words.substr(at + mark.size()), text);
        }
    }
    if (!first) return whole;
    const auto [at, mark] = *first;
    return helperWords(words.substr(0, at), text) + written(mark) +
           helperWords(words.substr(at + mark.size()), text);
}

std::string filled(std::string pattern, std::string_view name, std::string_view value) {
    const std::string placeholder = "{" + std::string(name) + "}";
    if (const auto at = pattern.find(placeholder); at != std::string::npos)
        pattern.replace(at, placeholder.size(), value);
    return pattern;
}

std::string celsius(std::optional<double> value) {
    return usable(value) ? format("%.1f °C", *value) : kNone;
}

std::string percent(std::optional<double> value) {
    return usable(value) ? format("%.0f %%", *value) : kNone;
}

std::string rpm(std::optional<double> value) {
    return usable(value) ? format("%.0f RPM", *value) : kNone;
}

std::string bytes(double value) {
    if (!std::isfinite(value) || value < 0) return kNone;
    if (value >= 1024.0 * 1024 * 1024) return format("%.1f GiB", value / (1024.0 * 1024 * 1024));
    if (value >= 1024.0 * 1024) return format("%.1f MiB", value / (1024.0 * 1024));
    if (value >= 1024.0) return format("%.1f KiB", value / 1024.0);
    return format("%.0f B", value);
}

std::string rate(std::optional<double> bytesPerSecond) {
    return usable(bytesPerSecond) ? bytes(*bytesPerSecond) + "/s" : kNone;
}

std::string fanMode(std::optional<bool> manual, const AppText& text) {
    if (!manual) return kNone;
    return *manual ? text(kManualMode) : text(kAutomaticMode);
}

std::string remaining(const ControlView& control, const AppText& text) {
    if (!control.remainingSeconds) return kNone;
    const long total = std::lround(std::max(0.0, *control.remainingSeconds));
    return std::to_string(total) + " " + text("秒");
}

std::string powerSource(std::optional<bool> acPower, const AppText& text) {
    if (!acPower) return text("未知");
    return *acPower ? text("电源适配器") : text("电池");
}

std::string memoryPressure(const AppView& view, const AppText& text) {
    if (!view.latest || !view.latest->memoryPressure) return text("未知");
    return text(title(*view.latest->memoryPressure));
}

std::string thermalState(const AppView& view, const AppText& text) {
    return view.latest ? text(view.latest->thermalTitle()) : std::string(kNone);
}

std::string assessment(const AppView& view, const AppText& text) {
    return view.latest ? text(view.latest->assessment()) : std::string();
}

}  // namespace kilnview::Wording
