#include "Web/LeaseBar.hpp"

#include <nlohmann/json.hpp>

#include "Web/Charts.hpp"
#include "Web/Wording.hpp"

namespace kilnview::LeaseBar {

namespace {

std::string h(std::string_view text) {
    return Charts::escapeXML(text);
}

}  // namespace

std::string bar(const AppText& t, const AppView& view) {
    // Texts of the confirmations, the lease's end and the notifications, already translated.
    const nlohmann::json texts = {{"coolingConfirm", t("全速散热会让风扇以最高转速运行 5 分钟。")},
                                  {"replaceConfirm", t("将替换正在运行的风扇控制：")},
                                  {"continue", t("继续吗？")},
                                  {"testEnded", t("风扇验证已结束，风扇已恢复系统自动")},
                                  {"coolingEnded", t("全速散热已结束，风扇已恢复系统自动")},
                                  {"curveEnded", t("曲线已结束，风扇已恢复系统自动")},
                                  {"failed", t("风扇控制已结束：")},
                                  {"notifyOn", t("开启通知")},
                                  {"notifyOff", t("关闭通知")},
                                  {"notifyDenied", t("浏览器不允许通知")},
                                  {"remaining", t("剩余时间")}};
    return "<div id=\"lease-bar\" class=\"lease-bar\" role=\"status\" data-texts=\"" +
           h(texts.dump()) + "\"" + (view.control.remainingSeconds ? "" : " hidden") +
           "><span class=\"who\">" + h(t("风扇控制")) + ": <strong data-live=\"controlMode\">" +
           h(t(view.control.mode)) + "</strong></span> <span class=\"left\">" + h(t("剩余时间")) +
           ": <span data-live=\"leaseRemaining\">" + h(Wording::remaining(view.control, t)) +
           "</span></span> " + "<button id=\"lease-auto\" type=\"button\">" + h(t("恢复系统自动")) +
           "</button></div><div id=\"lease-outcome\" class=\"lease-outcome\" role=\"status\" "
           "aria-live=\"polite\" hidden></div>";
}

std::string notificationSwitch(const AppText& t) {
    return "<button id=\"notify-toggle\" type=\"button\" class=\"notify\" aria-pressed=\"false\">" +
           h(t("开启通知")) + "</button>";
}

std::string scripts(std::string_view page) {
    std::string html = "<script src=\"/assets/control.js\" defer></script>";
    if (page == "fans") html += "<script src=\"/assets/editor.js\" defer></script>";
    if (page == "history" || page == "overview" || page == "sensors")
        html += "<script src=\"/assets/charts.js\" defer></script>";
    if (page == "processes") html += "<script src=\"/assets/tables.js\" defer></script>";
    return html;
}

}  // namespace kilnview::LeaseBar
