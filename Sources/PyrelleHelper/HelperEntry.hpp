#pragma once
// The helper's entry: the gate that limits this build to fan control, the administrator
// check, dispatch, and the one failure-reporting path (message on standard error, status 1).

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace pyrelle::helper {

using Arguments = std::vector<std::string>;

// The commands the entry dispatches to. Each receives the whole argument vector (element 0
// is the program path) and writes its success line to `out`; a failure is thrown (normally
// as ScopeError) and reported by the entry. An empty function means the command is not
// available in this build and is reported as a failure, never as a success.
struct HelperCommands {
    std::function<void(const Arguments&, std::ostream& out)> probe;
    std::function<void(const Arguments&, std::ostream& out)> fanProbe;
    std::function<void(const Arguments&, std::ostream& out)> serve;
    std::function<void(const Arguments&, double durationSeconds, std::ostream& out)> cooling;
    std::function<void(const Arguments&, std::ostream& out)> profile;
    std::function<void(const Arguments&, std::ostream& out)> restoreAuto;
    // True when the process runs with administrator rights (effective user id 0).
    std::function<bool()> isAdministrator;
};

// Runs one helper invocation and returns the process exit status (0 or 1). Nothing is
// written to `out` on failure.
int runHelper(const Arguments& args, const HelperCommands& commands, std::ostream& out,
              std::ostream& err);

}  // namespace pyrelle::helper
