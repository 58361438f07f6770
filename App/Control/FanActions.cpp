#include "Control/FanActions.hpp"

#include "pyrelle/OperationIssue.hpp"

namespace kilnview {

ActionResult ActionResult::failure(const std::string& message) {
    const pyrelle::OperationIssue issue(message);
    // Joined with the separator the translation table splits on, so both parts translate.
    return {false, message, issue.title + " · " + issue.guidance};
}

}  // namespace kilnview
