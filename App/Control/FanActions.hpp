#pragma once
// FanActions: the fan operations the web layer may ask for. HelperClient carries them out
// through the helper; tests substitute a recorder. Implementations are thread-safe.

#include <optional>
#include <string>

#include "pyrelle/ControlRequest.hpp"

namespace kilnview {

// The answer to one fan action, as the web layer returns it.
struct ActionResult {
    bool ok = false;
    std::string message;
    std::optional<std::string> advice;  // title and guidance of the operation issue

    static ActionResult success(std::string message) { return {true, std::move(message), {}}; }
    // A failure with the operation-issue advice for `message`.
    static ActionResult failure(const std::string& message);
};

class FanActions {
public:
    virtual ~FanActions() = default;
    virtual ActionResult test() = 0;
    // `request` is a "profile" request that has passed FanControlPolicy::validate.
    virtual ActionResult curve(const pyrelle::ControlRequest& request) = 0;
    virtual ActionResult automatic() = 0;
    virtual ActionResult cooling() = 0;
};

}  // namespace kilnview
