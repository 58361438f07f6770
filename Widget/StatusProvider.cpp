#include "StatusProvider.hpp"

#include "pyrelle/widget/WidgetStorage.hpp"

namespace pyrelle {

StatusProvider::StatusProvider(Reader read) : read_(std::move(read)) {
    if (!read_) read_ = [] { return WidgetStorage::read(); };
}

StatusEntry StatusProvider::placeholder(double now) const {
    return {now, std::nullopt};
}

StatusEntry StatusProvider::snapshot(double now) const {
    return {now, read_()};
}

StatusTimeline StatusProvider::timeline(double now) const {
    std::optional<WidgetSnapshot> status = read_();
    StatusTimeline timeline;
    for (double offset : entryOffsets) timeline.entries.push_back({now + offset, status});
    timeline.reloadAfter = now + entryOffsets[std::size(entryOffsets) - 1];
    return timeline;
}

}  // namespace pyrelle
