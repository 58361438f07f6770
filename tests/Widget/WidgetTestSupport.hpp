#pragma once
// Helpers shared by the widget tests: a private temporary directory and snapshot builders.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "pyrelle/widget/WidgetSnapshot.hpp"

namespace pyrelle::widget_test {

// A fresh directory removed with everything in it when the object goes away.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pyrelle-widget-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The text of every SVG text element whose class list contains `cls` (nested markup removed).
inline std::vector<std::string> texts(const std::string& svg, const std::string& cls) {
    std::vector<std::string> out;
    std::regex element("<text[^>]*class=\"[^\"]*\\b" + cls + "\\b[^\"]*\"[^>]*>(.*?)</text>");
    std::regex tags("<[^>]*>");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), element);
         it != std::sregex_iterator(); ++it) {
        out.push_back(std::regex_replace((*it)[1].str(), tags, ""));
    }
    return out;
}

// A running snapshot with readings, two fans and a CPU-load trend with a sampling gap.
inline WidgetSnapshot sampleSnapshot(double date = 786900000.5) {
    WidgetSnapshot::Trends trends;
    trends["cpuUsage"] = {WidgetPoint(date - 240, 20, 0), WidgetPoint(date - 180, 30, 0),
                          WidgetPoint(date - 60, 40, 1), WidgetPoint(date, 50, 1)};
    trends["cpuTemperature"] = {WidgetPoint(date - 240, 57.9, 0), WidgetPoint(date - 120, 58.1, 0)};
    return WidgetSnapshot(date, 58.2, 51.0, std::nullopt, 12.5,
                          {WidgetFan(0, 1850, 6000, false), WidgetFan(1, 2400, 6000, true)}, "均衡",
                          "开启睿频", "zh-Hans", true, trends);
}

}  // namespace pyrelle::widget_test
