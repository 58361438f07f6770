#pragma once
// WidgetPublishDecision: what the desktop application does with one sample: rewrite the
// status file, and possibly also reload the widget's timelines. `reload` implies `write`.
namespace pyrelle {

struct WidgetPublishDecision {
    bool write = false;
    bool reload = false;

    bool operator==(const WidgetPublishDecision&) const = default;
};

}  // namespace pyrelle
