#include "Control/ControlTruth.hpp"

#include <algorithm>

namespace kilnview::ControlTruth {

using namespace pyrelle;

namespace {

// Not a claim the fans are automatic: shown when Kilnview drove them and cannot read them.
constexpr const char* kUnreadableAtExit = "无法读取风扇状态，不能确认风扇已恢复系统自动";

enum class Fans { automatic, manual, unknown };

Fans fansAsRead(const Snapshot* latest) {
    if (!latest || !latest->smcAvailable) return Fans::unknown;
    const auto& fans = latest->fans;
    if (std::any_of(fans.begin(), fans.end(),
                    [](const FanReading& fan) { return fan.manual == true; }))
        return Fans::manual;
    if (std::any_of(fans.begin(), fans.end(),
                    [](const FanReading& fan) { return !fan.manual.has_value(); }))
        return Fans::unknown;
    return Fans::automatic;
}

}  // namespace

ControlView derive(ControlView reported, const Snapshot* latest) {
    reported.alert.reset();
    // A lease of Kilnview's is shown by its own label: it watches the fans itself and stops
    // (with its failure) when they are taken from it.
    if (reported.session || reported.cooling) return reported;
    reported.targets.clear();
    reported.remainingSeconds.reset();
    reported.protectionActive = false;
    switch (fansAsRead(latest)) {
        case Fans::automatic: reported.mode = kAutomaticMode; break;
        case Fans::manual:
            reported.mode = kManualMode;
            reported.alert = kLeftManual;
            break;
        case Fans::unknown: reported.mode = kUnknownMode; break;
    }
    return reported;
}

std::optional<std::string> exitProblem(const ActionResult& ended, const Snapshot& fresh,
                                       bool droveFans) {
    const Fans fans = fansAsRead(&fresh);
    if (fans == Fans::automatic || (fans == Fans::unknown && !droveFans)) {
        // Automatic now (a guardian may have finished the hand-back): a failure on the way
        // changes nothing the user must act on.
        return std::nullopt;
    }
    if (!ended.ok) return ended.message;
    return std::string(fans == Fans::manual ? kLeftManual : kUnreadableAtExit);
}

}  // namespace kilnview::ControlTruth
