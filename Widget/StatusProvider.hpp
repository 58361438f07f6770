#pragma once
// StatusProvider: the widget's timeline provider. It reads the status file once per
// request and never samples anything itself; the same reading is redrawn at each entry's
// date so its freshness moves on as it ages.
#include <functional>
#include <optional>
#include <vector>

#include "StatusEntry.hpp"

namespace pyrelle {

struct StatusTimeline {
    std::vector<StatusEntry> entries;
    double reloadAfter = 0;  // ask for a new timeline after this moment
};

class StatusProvider {
public:
    using Reader = std::function<std::optional<WidgetSnapshot>()>;

    // Entries are dated now, now + 300 s and now + 1800 s; a reload follows the last.
    static constexpr double entryOffsets[] = {0, 300, 1800};

    // `read` defaults to reading the status file at its default location.
    explicit StatusProvider(Reader read = {});

    // An entry dated `now` with no snapshot.
    StatusEntry placeholder(double now) const;
    // An entry dated `now` with the current status.
    StatusEntry snapshot(double now) const;
    // Three entries sharing one reading of the status, and the reload date.
    StatusTimeline timeline(double now) const;

private:
    Reader read_;
};

}  // namespace pyrelle
