#pragma once
// StatusPublisher: writes the widget's status file from Kilnview's state under the widget
// publish schedule: a visible change is written at once, an unchanged state once a minute.
// Not thread-safe: the sampling loop is its only caller.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Model/AppView.hpp"
#include "pyrelle/widget/WidgetPublishSchedule.hpp"
#include "pyrelle/widget/WidgetSnapshot.hpp"

namespace kilnview {

class StatusPublisher {
public:
    // `file` is the status file to write (absent: the widget's default location).
    explicit StatusPublisher(std::optional<std::filesystem::path> file) : file_(std::move(file)) {}

    // Offers one sample; writes the file when the schedule says so. Returns whether it wrote.
    // The histories behind the trends are fetched only for a write. A file that cannot be
    // written leaves its reason in `failure()`.
    bool publish(const AppView& view, const std::function<AppHistory()>& history,
                 const std::string& language);

    // The status file's content for a view (trends from the histories' last five minutes).
    static pyrelle::WidgetSnapshot build(const AppView& view, const AppHistory& history,
                                         const std::string& language);
    // Everything the cards would show, as the schedule's state text.
    static std::string signature(const pyrelle::WidgetSnapshot& snapshot);

    const std::optional<std::string>& failure() const { return failure_; }

private:
    std::optional<std::filesystem::path> file_;
    pyrelle::WidgetPublishSchedule schedule_;
    std::optional<std::string> failure_;
};

}  // namespace kilnview
