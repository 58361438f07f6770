#include "pyrelle/OperationIssue.hpp"

#include <array>

namespace pyrelle {

namespace {

struct Rule {
    std::array<std::string_view, 3> needles;
    const char* title;
    const char* guidance;
};

constexpr std::array<Rule, 3> kRules = {{
    {{"恢复自动风扇失败", "", ""},
     "系统自动风扇未确认恢复",
     "恢复自动模式时发生错误。请检查当前风扇状态，再尝试恢复系统自动；不要将本次操作视为成功。"},
    {{"回读不一致", "", ""},
     "风扇设置尚未确认",
     "写入后的读数与目标不一致，不能确认散热模式已生效。请检查当前风扇状态，并确认其他风扇控制软件"
     "已退出；需要时恢复系统自动。"},
    {{"(-128)", "User canceled", "用户取消"},
     "授权已取消",
     "本次操作未完成。需要更改设置时，请重新操作并完成系统授权。"},
}};

}  // namespace

OperationIssue::OperationIssue(std::string_view message)
    : title("操作未完成"), guidance("当前设置未确认生效，请查看技术详情并检查硬件状态。") {
    for (const Rule& rule : kRules) {
        for (std::string_view needle : rule.needles) {
            if (!needle.empty() && message.find(needle) != std::string_view::npos) {
                title = rule.title;
                guidance = rule.guidance;
                return;
            }
        }
    }
}

}  // namespace pyrelle
