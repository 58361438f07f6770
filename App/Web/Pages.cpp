#include "Web/Pages.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "Web/Assets.hpp"
#include "Web/Charts.hpp"
#include "Web/CurveEditor.hpp"
#include "Web/HistoryCharts.hpp"
#include "Web/LeaseBar.hpp"
#include "Web/Wording.hpp"
#include "Control/FanActions.hpp"
#include "pyrelle/ControlRequest.hpp"
#include "pyrelle/CurveSensor.hpp"
#include "pyrelle/FanCurve.hpp"
#include "pyrelle/HardwareSensorKind.hpp"
#include "pyrelle/MetricPlot.hpp"
#include "pyrelle/OptimizationSummary.hpp"
#include "pyrelle/PowerOptimizationPlan.hpp"
#include "pyrelle/PowerSetting.hpp"
#include "pyrelle/PowerSource.hpp"
#include "pyrelle/SensorCatalog.hpp"
#include "pyrelle/SensorComponent.hpp"
#include "pyrelle/SensorInventory.hpp"
#include "pyrelle/SensorCategory.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"
#include "pyrelle/ThermalProfile.hpp"
#include "pyrelle/TurboState.hpp"

namespace kilnview::Pages {

using namespace pyrelle;
using Charts::escapeXML;

namespace {

constexpr const char* kNone = "—";

struct NavItem {
    const char* id;
    const char* href;
    const char* title;
};

constexpr NavItem kNav[] = {{"overview", "/", "概览"},
                            {"sensors", "/sensors", "传感器"},
                            {"fans", "/fans", "风扇"},
                            {"history", "/history", "历史"},
                            {"processes", "/processes", "进程"},
                            {"power", "/power", "电源"},
                            {"export", "/export.csv", "导出 CSV"}};

std::string h(std::string_view text) {
    return escapeXML(text);
}

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

// A live value: its element carries the key the page script updates.
std::string live(std::string_view key, std::string_view value) {
    return "<span data-live=\"" + h(key) + "\">" + h(value) + "</span>";
}

std::string languageName(std::string_view code) {
    static const std::map<std::string_view, const char*> names = {
        {"zh-Hans", "简体中文"}, {"zh-Hant", "繁體中文"}, {"en", "English"},  {"ja", "日本語"},
        {"ko", "한국어"},        {"de", "Deutsch"},       {"fr", "Français"}, {"es", "Español"}};
    return names.at(code);
}

// The favicon (a kiln's flame on dark), inline so that no page load asks for a file.
const std::string& faviconLink() {
    static const std::string link = [] {
        std::string data;
        for (const char c : assets::text("favicon.svg")) {
            switch (c) {
                case '<': data += "%3C"; break;
                case '>': data += "%3E"; break;
                case '#': data += "%23"; break;
                case '%': data += "%25"; break;
                case '"': data += "%22"; break;
                case '\n': break;
                default: data += c;
            }
        }
        return "<link rel=\"icon\" href=\"data:image/svg+xml," + data + "\">";
    }();
    return link;
}

// The light/dark choice ("" follows the system). The page script remembers a change in a
// cookie, so the next page arrives in its colours instead of repainting after its scripts run.
std::string themeMenu(const AppText& t, std::string_view theme) {
    std::string html =
        "<label class=\"theme\"><span>" + h(t("外观")) + "</span><select id=\"theme\">";
    for (const auto& [value, text] :
         {std::pair{"", "跟随系统"}, std::pair{"light", "浅色"}, std::pair{"dark", "深色"}})
        html += "<option value=\"" + std::string(value) + "\"" +
                (theme == value ? " selected" : "") + ">" + h(t(text)) + "</option>";
    return html + "</select></label>";
}

// While the SMC does not answer, every page says so and since when; the element is always
// there (empty otherwise) so the page script can show and clear it live.
std::string outageLine(const AppView& view, const AppText& t) {
    return "<p class=\"outage\" role=\"status\" data-live=\"deviceOutage\">" +
           h(Wording::outage(view.device, t)) + "</p>";
}

// Pages whose values are drawn once say how old they are; the page script counts the age on.
std::string ageLine(const AppView& view, const AppText& t) {
    if (!view.latest || !view.latest->date.isFinite()) return "";
    const std::string pattern = Wording::filled(t("读数时间 {time}（{age} 秒前）"), "time",
                                                Wording::clock(view.latest->date));
    const double age = std::max(0.0, Date::now().secondsSince(view.latest->date));
    return "<p class=\"age\" data-date=\"" +
           format("%.0f", std::floor(view.latest->date.unixTime() * 1000)) + "\" data-template=\"" +
           h(pattern) + "\">" +
           h(Wording::filled(pattern, "age", format("%.0f", std::floor(age)))) + "</p>";
}

std::string layout(const PageContext& context, const AppView& view, std::string_view active,
                   std::string_view title, const std::string& body) {
    const AppText& t = context.text;
    std::string html;
    html.reserve(body.size() + 4096);
    html += "<!DOCTYPE html>\n<html lang=\"" + h(t.language()) + "\"" +
            (context.theme.empty() ? "" : " data-theme=\"" + context.theme + "\"") +
            "><head><meta charset=\"utf-8\">";
    html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
    html += "<meta name=\"kilnview-token\" content=\"" + h(context.token) + "\">";
    html += "<title>" + h(t(title)) + " · Kilnview</title>";
    html += "<meta name=\"color-scheme\" content=\"light dark\">";
    html += faviconLink();
    html += "<link rel=\"stylesheet\" href=\"/assets/app.css\">";
    html += "<script src=\"/assets/app.js\" defer></script>";
    html += LeaseBar::scripts(active);
    html += "</head><body data-page=\"" + h(active) + "\">";
    html += "<a class=\"skip\" href=\"#main\">" + h(t("跳到正文")) + "</a>";
    html += "<header><a class=\"brand\" href=\"/\">Kilnview</a><nav aria-label=\"" +
            h(t("页面导航")) + "\">";
    for (const NavItem& item : kNav) {
        html += "<a id=\"nav-" + std::string(item.id) + "\" href=\"" + item.href + "\"";
        if (active == item.id) html += " class=\"active\" aria-current=\"page\"";
        html += ">" + h(t(item.title)) + "</a>";
    }
    html +=
        "</nav><label class=\"language\"><span>" + h(t("语言")) + "</span><select id=\"language\">";
    for (std::string_view code : kLanguages) {
        html += "<option value=\"" + std::string(code) + "\"";
        if (code == t.language()) html += " selected";
        html += ">" + h(languageName(code)) + "</option>";
    }
    html += "</select></label>" + themeMenu(t, context.theme) + "</header>";
    html += LeaseBar::bar(t, view);
    html += "<main id=\"main\" tabindex=\"-1\"><h1>" + h(t(title)) + "</h1>";
    html += outageLine(view, t);
    if (active != "overview" && active != "fans") html += ageLine(view, t);
    html += body;
    html += "</main><footer>" + live("headline", Wording::state(view.report.state, t));
    html += LeaseBar::notificationSwitch(t);
    html += "</footer></body></html>\n";
    return html;
}

// A fan's name as the other pages number it (by its id: "风扇 0"), for a reading of the key
// "F{id}Ac"; absent for any other key.
std::optional<std::string> fanName(std::string_view key, const AppText& t) {
    if (key.size() < 4 || key.front() != 'F' || !key.ends_with("Ac")) return std::nullopt;
    const std::string_view digits = key.substr(1, key.size() - 3);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return t("风扇") + " " + std::string(digits);
}

std::string card(std::string_view label, const std::string& value) {
    return "<div class=\"card\"><div class=\"label\">" + h(label) + "</div><div class=\"value\">" +
           value + "</div></div>";
}

std::string findingsList(const AppView& view, const AppText& t) {
    std::string html = "<ul id=\"findings\" class=\"findings\">";
    if (view.report.findings.empty()) {
        html += "<li class=\"none\">" + h(t("暂无发现")) + "</li>";
    }
    for (const DiagnosticFinding& finding : view.report.findings) {
        html += "<li class=\"severity-" + std::to_string(value(finding.severity)) + "\"><strong>" +
                h(Wording::findingTitle(finding, t)) + "</strong> <span class=\"tag\">" +
                h(Wording::severity(finding.severity, t)) + "</span><div class=\"detail\">" +
                h(Wording::findingDetail(finding, view, t)) + "</div><div class=\"action\">" +
                h(Wording::action(finding, view, t)) + "</div></li>";
    }
    return html + "</ul>";
}

std::string fanTable(const AppView& view, const AppText& t) {
    std::string html = "<table class=\"fans\"><thead><tr><th>" + h(t("风扇")) + "</th><th>" +
                       h(t("转速")) + "</th><th>" + h(t("目标")) + "</th><th>" + h(t("模式")) +
                       "</th><th>" + h(t("范围")) + "</th></tr></thead><tbody>";
    if (!view.latest || view.latest->fans.empty()) {
        html += "<tr><td colspan=\"5\">" + h(t("没有可读取的风扇")) + "</td></tr>";
    } else {
        for (const FanReading& fan : view.latest->fans) {
            const std::string prefix = "fan-" + std::to_string(fan.id) + "-";
            const auto target = view.control.targets.find(fan.id);
            html += "<tr><td>" + std::to_string(fan.id) + "</td><td>" +
                    live(prefix + "rpm", Wording::rpm(fan.rpm)) + "</td><td>" +
                    live(prefix + "target", target == view.control.targets.end()
                                                ? std::string(kNone)
                                                : Wording::rpm(target->second)) +
                    "</td><td>" + live(prefix + "mode", Wording::fanMode(fan.manual, t)) +
                    "</td><td><span>" + h(Wording::rpm(fan.minimum)) + "</span> – <span>" +
                    h(Wording::rpm(fan.maximum)) + "</span></td></tr>";
        }
    }
    return html + "</tbody></table>";
}

// The helper's last failure with its advice, and the warning of fans left manual with the
// action that hands them back; live, and hidden while empty.
std::string controlNotices(const AppView& view, const AppText& t) {
    const std::string alert = view.control.alert ? t(*view.control.alert) : std::string();
    const std::string failure =
        view.control.failure ? Wording::helperWords(*view.control.failure, t) : std::string();
    const std::string advice =
        view.control.failure ? t(*ActionResult::failure(*view.control.failure).advice) : "";
    const auto hidden = [](const std::string& text) {
        return text.empty() ? std::string(" hidden") : std::string();
    };
    return "<div class=\"control-alert\" data-live-shown=\"controlAlert\"" + hidden(alert) +
           "><span data-live=\"controlAlert\">" + h(alert) +
           "</span> <button type=\"button\" class=\"control-auto\">" + h(t("恢复系统自动")) +
           "</button></div><p class=\"failure\" data-live-shown=\"controlFailure\"" +
           hidden(failure) + "><span data-live=\"controlFailure\">" + h(failure) +
           "</span> <span class=\"advice\" data-live=\"controlAdvice\">" + h(advice) +
           "</span></p>";
}

std::string controlLine(const AppView& view, const AppText& t) {
    std::string html = "<p class=\"control\">" + h(t("控制状态")) + ": " +
                       live("controlMode", t(view.control.mode)) + " · " + h(t("剩余时间")) + ": " +
                       live("leaseRemaining", Wording::remaining(view.control, t)) + "</p>";
    html += controlNotices(view, t);
    if (!view.control.available) {
        html += "<p class=\"note\">" +
                h(t("控制风扇需要管理员权限：请以管理员身份运行 Kilnview，或用 --elevate "
                    "指定提权命令")) +
                "</p>";
    }
    return html;
}

// A power setting's value in words: the low-power switch on or off, a sleep delay in minutes
// or never (0).
std::string powerValue(PowerSetting setting, std::optional<std::int64_t> value, const AppText& t) {
    if (!value) return kNone;
    if (setting == PowerSetting::lowpowermode) return *value ? t("开启") : t("关闭");
    if (*value == 0) return t("从不");
    return std::to_string(*value) + " " + t("分钟");
}

}  // namespace

std::string overview(const PageContext& context, const AppView& view) {
    const AppText& t = context.text;
    const Snapshot* s = view.latest ? &*view.latest : nullptr;
    std::string body;
    body += "<section class=\"headline state-" +
            std::to_string(static_cast<int>(view.report.state)) + "\"><span class=\"label\">" +
            h(t("状态")) + "</span> " + live("headline", Wording::state(view.report.state, t)) +
            "</section>";
    body +=
        "<p class=\"note\" data-live=\"smcMissing\">" + h(Wording::smcMissing(view, t)) + "</p>";
    body += "<section class=\"cards\">";
    body += card(Wording::figure(DiagnosticFigure::cpuTemperature, t),
                 live("cpuTemperature", Wording::celsius(s ? s->cpuTemperature() : std::nullopt)));
    body += card(t("GPU 温度"),
                 live("gpuTemperature",
                      Wording::celsius(s ? s->temperature(SensorCategory::gpu) : std::nullopt)));
    body += card(Wording::figure(DiagnosticFigure::cpuUsage, t),
                 live("cpuUsage", Wording::percent(s ? s->cpuUsage : std::nullopt)));
    body += card(Wording::figure(DiagnosticFigure::memoryPressure, t),
                 live("memoryPressure", Wording::memoryPressure(view, t)));
    body += card(t("电源"),
                 live("powerSource", Wording::powerSource(s ? s->acPower : std::nullopt, t)));
    body += card(t("热状态"), live("thermalState", Wording::thermalState(view, t)));
    body += "</section><h2>" + h(t("发现")) + "</h2>" + findingsList(view, t);
    body += "<h2>" + h(t("风扇")) + "</h2>" + fanTable(view, t) + controlLine(view, t);
    body += "<p class=\"assessment\">" + live("assessment", Wording::assessment(view, t)) + "</p>";
    return layout(context, view, "overview", "概览", body);
}

std::string sensors(const PageContext& context, const AppView& view) {
    const AppText& t = context.text;
    std::string body;
    if (!view.latest) {
        body += "<p class=\"note\">" + h(t("等待状态数据")) + "</p>";
        return layout(context, view, "sensors", "传感器", body);
    }
    body += "<h2>" + h(t("常用读数")) + "</h2><dl class=\"common\">";
    for (const CommonSensorReading& reading : view.common) {
        std::string value = kNone;
        if (reading.value)
            value = format("%.1f ", *reading.value) + std::string(unit(reading.kind));
        std::optional<std::string> name;
        if (reading.kind == HardwareSensorKind::fan && !reading.sources.empty())
            name = fanName(reading.sources.front(), t);
        body += "<dt>" + h(name.value_or(t(reading.title))) +
                " <span class=\"value\" data-spark=\"sensor-" + h(reading.id) + "\">" + h(value) +
                "</span></dt><dd>" + h(t(reading.explanation)) + "</dd>";
    }
    body += "</dl>";
    // Every discovered reading, grouped by the component the catalog says it belongs to.
    const SensorNamingPlatform platform = currentSensorNamingPlatform();
    std::map<int, std::vector<std::pair<HardwareSensorReading, std::optional<SensorMeaning>>>>
        groups;
    for (const HardwareSensorReading& reading : SensorInventory::readings(*view.latest)) {
        auto meaning = SensorCatalog::meaning(reading, platform);
        const SensorComponent component = meaning ? meaning->component : SensorComponent::unknown;
        groups[static_cast<int>(component)].emplace_back(reading, std::move(meaning));
    }
    for (SensorComponent component : allSensorComponents) {
        const auto group = groups.find(static_cast<int>(component));
        if (group == groups.end()) continue;
        body += "<h2>" + h(t(title(component))) + "</h2><table class=\"sensors\"><thead><tr><th>" +
                h(t("键")) + "</th><th>" + h(t("名称")) + "</th><th>" + h(t("读数")) + "</th><th>" +
                h(t("说明")) + "</th></tr></thead><tbody>";
        // Fans by their number; other readings by the catalog's name, else the device's label.
        const auto name = [&t](const HardwareSensorReading& reading,
                               const std::optional<SensorMeaning>& meaning) {
            if (reading.kind == HardwareSensorKind::fan)
                if (auto fan = fanName(reading.key, t)) return *fan;
            // The sampler labels unknown keys "<category> · <key>": the category is translated.
            return meaning ? t(meaning->title) : t(reading.label);
        };
        for (const auto& [reading, meaning] : group->second) {
            std::string value = kNone;
            if (reading.value)
                value = format("%.1f ", *reading.value) + std::string(unit(reading.kind));
            body += "<tr><td><code>" + h(reading.key) + "</code></td><td>" +
                    h(name(reading, meaning)) + "</td><td class=\"reading\" data-spark=\"key-" +
                    h(reading.id()) + "\">" + h(value) + "</td><td>" +
                    h(meaning ? t(meaning->explanation) : std::string(kNone)) + "</td></tr>";
        }
        body += "</tbody></table>";
    }
    return layout(context, view, "sensors", "传感器", body);
}

std::string fans(const PageContext& context, const AppView& view,
                 const std::optional<pyrelle::ControlRequest>& running) {
    const AppText& t = context.text;
    std::string body = fanTable(view, t) + controlLine(view, t);
    body += "<section class=\"actions\"><button id=\"fan-test\" type=\"button\">" +
            h(t("风扇验证（5 秒）")) + "</button><button id=\"fan-cooling\" type=\"button\">" +
            h(t("全速散热（5 分钟）")) + "</button><button id=\"fan-auto\" type=\"button\">" +
            h(t("恢复系统自动")) + "</button></section>";
    body += CurveEditor::section(t, view, running);
    body += "<section id=\"fan-result\" class=\"result\" aria-live=\"polite\"></section>";
    return layout(context, view, "fans", "风扇", body);
}

std::string history(const PageContext& context, const AppView& view, const AppHistory& history,
                    int minutes) {
    const AppText& t = context.text;
    std::string body;
    if (!history.end) {
        body += "<p class=\"note\">" + h(t("等待状态数据")) + "</p>";
        return layout(context, view, "history", "历史", body);
    }
    body += HistoryCharts::section(t, history, minutes);
    const TurboState turbo = view.latest ? view.latest->turbo : TurboState::unsupported;
    body += "<p class=\"note\">" + h(t("睿频")) + ": " + h(t(title(turbo)));
    if (history.turboPoints > 0) {
        body += " · " + std::to_string(history.turboPoints) + " " + h(t("个样本")) + " · " +
                std::to_string(history.turboTransitions) + " " + h(t("次切换"));
    }
    body += "</p>";

    // The mode timeline: one row per unbroken stretch of one mode.
    body += "<h2>" + h(t("模式时间线")) + "</h2><table class=\"modes\"><thead><tr><th>" +
            h(t("模式")) + "</th><th>" + h(t("开始")) + "</th><th>" + h(t("时长")) + "</th><th>" +
            h(t("平均温度")) + "</th><th>" + h(t("最高温度")) + "</th></tr></thead><tbody>";
    struct Stretch {
        std::string mode;
        Date start;
        double elapsed = 0, sum = 0, peak = -1e9;
        int count = 0;
    };
    std::vector<Stretch> stretches;
    std::optional<std::int64_t> segment;
    for (const ModeRecord& record : history.modes) {
        if (!segment || *segment != record.segment) {
            stretches.push_back({record.mode, record.date});
            segment = record.segment;
        }
        Stretch& stretch = stretches.back();
        stretch.elapsed = record.elapsed;
        stretch.sum += record.temperature;
        stretch.peak = std::max(stretch.peak, record.temperature);
        ++stretch.count;
    }
    if (stretches.empty()) body += "<tr><td colspan=\"5\">" + h(t("暂无数据")) + "</td></tr>";
    for (auto it = stretches.rbegin(); it != stretches.rend(); ++it) {
        const std::string start = it->start.iso8601();
        body += "<tr><td>" + h(t(it->mode)) + "</td><td><time datetime=\"" + h(start) + "\">" +
                h(start.size() >= 19 ? start.substr(11, 8) : start) + "</time></td><td>" +
                format("%.0f s", it->elapsed) + "</td><td>" +
                h(Wording::celsius(it->sum / it->count)) + "</td><td>" +
                h(Wording::celsius(it->peak)) + "</td></tr>";
    }
    body += "</tbody></table>";
    return layout(context, view, "history", "历史", body);
}

std::string processes(const PageContext& context, const AppView& view) {
    const AppText& t = context.text;
    std::string body;
    // Disk figures of other users' processes are unknown to an unprivileged reader: their
    // columns are left out, with the reason, rather than filled with dashes.
    bool diskKnown = false;
    for (const auto* rows : {&view.topCPU, &view.topMemory, &view.topDisk})
        for (const ProcessReading& p : *rows) diskKnown = diskKnown || p.diskRate().has_value();
    for (const SustainedActivity& row : view.activity)
        diskKnown = diskKnown || row.averageDiskRate.has_value();
    const bool sampled = !view.topCPU.empty() || !view.topMemory.empty();
    body += "<p class=\"note\">" + h(t("CPU 以单核为 100%；多核同时忙碌时可超过 100%")) + "</p>";
    if (sampled && !diskKnown)
        body += "<p class=\"note\" id=\"disk-unknown\">" +
                h(t("磁盘读写数据不可用：读取其他用户进程的 I/O 统计需要更高权限")) + "</p>";
    body += "<label class=\"filter\">" + h(t("筛选进程")) +
            " <input id=\"process-filter\" type=\"search\" autocomplete=\"off\"></label>";
    const int columns = diskKnown ? 5 : 4;
    auto table = [&](const char* id, const char* title, const std::vector<ProcessReading>& rows) {
        std::string html =
            "<h2>" + h(t(title)) + "</h2><table class=\"processes sortable\" id=\"" +
            std::string(id) + "\"><thead><tr><th data-type=\"number\">PID</th><th>" + h(t("名称")) +
            "</th><th data-type=\"number\">CPU</th><th data-type=\"number\">" + h(t("内存")) +
            "</th>" + (diskKnown ? "<th data-type=\"number\">" + h(t("磁盘")) + "</th>" : "") +
            "</tr></thead><tbody>";
        if (rows.empty())
            html += "<tr><td colspan=\"" + std::to_string(columns) + "\">" + h(t("等待状态数据")) +
                    "</td></tr>";
        for (const ProcessReading& p : rows) {
            html += "<tr><td>" + std::to_string(p.pid) + "</td><td>" + h(p.name) +
                    "</td><td data-value=\"" + format("%.3f", p.cpu) + "\">" +
                    format("%.1f %%", p.cpu) + "</td><td data-value=\"" + std::to_string(p.memory) +
                    "\">" + h(Wording::bytes(static_cast<double>(p.memory))) + "</td>";
            if (diskKnown)
                html += "<td data-value=\"" + format("%.0f", p.diskRate().value_or(-1)) + "\">" +
                        h(Wording::rate(p.diskRate())) + "</td>";
            html += "</tr>";
        }
        return html + "</tbody></table>";
    };
    body += table("top-cpu", "CPU 占用最高", view.topCPU);
    body += table("top-memory", "内存占用最高", view.topMemory);
    if (diskKnown || !sampled) body += table("top-disk", "磁盘读写最多", view.topDisk);
    body += "<h2>" + h(t("近期活动来源")) + "</h2><p class=\"note\">" + h(t("观察时长")) + ": " +
            format("%.0f s", view.activitySeconds) + " · " +
            h(t("CPU 占比：占整机全部 CPU 时间的百分比")) +
            "</p><table class=\"activity sortable\" id=\"activity\"><thead><tr><th>" +
            h(t("名称")) + "</th><th data-type=\"number\">" + h(t("平均 CPU")) +
            "</th><th data-type=\"number\">" + h(t("当前 CPU")) + "</th><th data-type=\"number\">" +
            h(t("CPU 占比")) + "</th>" +
            (diskKnown ? "<th data-type=\"number\">" + h(t("平均磁盘")) + "</th>" : "") +
            "</tr></thead><tbody>";
    std::size_t shown = 0;
    for (const SustainedActivity& row : view.activity) {
        if (++shown > 15) break;
        body += "<tr><td>" + h(row.name) + "</td><td data-value=\"" +
                format("%.3f", row.averageCPU) + "\">" + format("%.1f %%", row.averageCPU) +
                "</td><td data-value=\"" + format("%.3f", row.currentCPU) + "\">" +
                format("%.1f %%", row.currentCPU) + "</td><td data-value=\"" +
                format("%.3f", row.cpuShare) + "\">" + format("%.1f %%", row.cpuShare) + "</td>";
        if (diskKnown)
            body += "<td data-value=\"" + format("%.0f", row.averageDiskRate.value_or(-1)) + "\">" +
                    h(Wording::rate(row.averageDiskRate)) + "</td>";
        body += "</tr>";
    }
    body += "</tbody></table>";
    return layout(context, view, "processes", "进程", body);
}

std::string power(const PageContext& context, const AppView& view, const AppHistory& history,
                  const PowerReading& reading) {
    const AppText& t = context.text;
    std::string body;
    body += "<p class=\"note\">" + h(t("本版本的辅助程序只控制风扇，不会更改电源设置：")) + " " +
            h(t(FanControlPolicy::kAppleSiliconRefusal)) + "</p>";
    body += "<h2>" + h(t("当前电源设置")) + "</h2>";
    const std::optional<bool> ac = view.latest ? view.latest->acPower : std::nullopt;
    if (!reading.configuration) {
        body += "<p class=\"failure\">" + h(t(reading.failure)) + "</p>";
    } else {
        body += "<table class=\"power\"><thead><tr><th></th>";
        for (PowerSource source : allPowerSources) body += "<th>" + h(t(title(source))) + "</th>";
        body += "</tr></thead><tbody>";
        for (PowerSetting setting : allPowerSettings) {
            body += "<tr><th>" + h(t(title(setting))) + "</th>";
            for (PowerSource source : allPowerSources) {
                const auto value = reading.configuration->value(setting, source);
                body += "<td>" + h(powerValue(setting, value, t)) + "</td>";
            }
            body += "</tr>";
        }
        body += "</tbody></table>";
        // The optimisation plan for the current source, and what it would change (read-only).
        PowerOptimizationPlan plan;
        plan.source = ac.value_or(true) ? PowerSource::ac : PowerSource::battery;
        plan.lowPower = plan.source == PowerSource::battery;
        plan.displayMinutes = plan.source == PowerSource::battery ? 2 : 10;
        plan.idleMinutes = plan.source == PowerSource::battery ? 5 : 15;
        plan.expected = reading.configuration;
        body += "<h2>" + h(t("优化方案")) + "</h2><table class=\"plan\"><thead><tr><th>" +
                h(t("设置")) + "</th><th>" + h(t("当前")) + "</th><th>" + h(t("建议")) +
                "</th></tr></thead><tbody>";
        const auto edits = plan.edits(*reading.configuration);
        if (edits.empty()) body += "<tr><td colspan=\"3\">" + h(t("无需更改")) + "</td></tr>";
        for (const PowerEdit& edit : edits) {
            body += "<tr><td>" + h(t(title(edit.source))) + " · " + h(t(title(edit.key))) +
                    "</td><td>" + h(powerValue(edit.key, edit.before, t)) + "</td><td>" +
                    h(powerValue(edit.key, edit.after, t)) + "</td></tr>";
        }
        body += "</tbody></table>";
    }
    // The metrics the plan would be judged by: the last minute of samples.
    std::vector<OptimizationMetric> samples;
    for (const MetricPoint& point : history.cpuUsage) {
        OptimizationMetric metric;
        metric.date = point.date;
        metric.cpu = point.value;
        if (auto temperature = MetricPlot::nearest(history.cpuTemperature, point.date, 1))
            metric.temperature = temperature->value;
        if (ac) metric.source = *ac ? PowerSource::ac : PowerSource::battery;
        samples.push_back(metric);
    }
    const OptimizationSummary summary = OptimizationSummary::baseline(samples, history.end);
    body += "<h2>" + h(t("优化指标")) + "</h2><dl class=\"metrics\"><dt>" + h(t("平均 CPU 负载")) +
            "</dt><dd>" + h(Wording::percent(summary.cpu)) + "</dd><dt>" + h(t("平均温度")) +
            "</dt><dd>" + h(Wording::celsius(summary.temperature)) + "</dd><dt>" +
            h(t("平均放电功率")) + "</dt><dd>" +
            h(summary.watts ? format("%.1f W", *summary.watts) : std::string(kNone)) + "</dd><dt>" +
            h(t("样本")) + "</dt><dd>" + std::to_string(summary.count) + " / " +
            format("%.0f s", summary.seconds) + "</dd><dt>" + h(t("足以比较")) + "</dt><dd>" +
            h(summary.sufficient() ? t("是") : t("否")) + "</dd></dl>";
    return layout(context, view, "power", "电源", body);
}

}  // namespace kilnview::Pages
