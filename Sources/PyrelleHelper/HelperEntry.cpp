#include "HelperEntry.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <ostream>
#include <sstream>
#include <string_view>

#include "HelperMessages.hpp"
#include "pyrelle/ScopeError.hpp"

namespace pyrelle::helper {
namespace {

// The commands this build runs; "profile" is admitted separately (only "profile custom").
constexpr std::array<std::string_view, 6> kFanCommands = {"probe", "cooling",   "fan-probe",
                                                          "serve", "test-fans", "auto"};

bool admittedByGate(const Arguments& args, const std::string& command) {
    if (std::find(kFanCommands.begin(), kFanCommands.end(), command) != kFanCommands.end()) {
        return true;
    }
    return command == "profile" && args.size() >= 3 && args[2] == "custom";
}

// A command that this build does not provide yet must fail, never pretend to succeed.
template <typename Function>
const Function& require(const Function& function) {
    if (!function) throw ScopeError("此命令在当前版本中不可用");
    return function;
}

// Runs `body`, buffering its output so that nothing reaches `out` when it fails.
int report(const std::function<void(std::ostream&)>& body, std::ostream& out, std::ostream& err) {
    std::ostringstream buffer;
    try {
        body(buffer);
    } catch (...) {
        err << describeFailure(std::current_exception()) << '\n';
        err.flush();
        return 1;
    }
    out << buffer.str();
    out.flush();
    return 0;
}

}  // namespace

int runHelper(const Arguments& args, const HelperCommands& commands, std::ostream& out,
              std::ostream& err) {
    const std::string command = args.size() > 1 ? args[1] : std::string();

    if (!admittedByGate(args, command)) {
        err << messages::kGate << '\n';
        err.flush();
        return 1;
    }

    if (args.size() == 4 && command == "serve") {
        return report([&](std::ostream& o) { require(commands.serve)(args, o); }, out, err);
    }

    if (args.size() == 2 && (command == "fan-probe" || command == "probe")) {
        const auto& run = command == "probe" ? commands.probe : commands.fanProbe;
        return report([&](std::ostream& o) { require(run)(args, o); }, out, err);
    }

    if (!commands.isAdministrator || !commands.isAdministrator()) {
        err << messages::kAdministrator << '\n';
        err.flush();
        return 1;
    }

    return report(
        [&](std::ostream& o) {
            if (command == "cooling") {
                require(commands.cooling)(args, 300, o);
            } else if (command == "test-fans") {
                require(commands.cooling)(args, 5, o);
            } else if (command == "profile") {
                require(commands.profile)(args, o);
            } else if (command == "auto") {
                require(commands.restoreAuto)(args, o);
            } else {
                throw ScopeError(messages::kUsage);
            }
        },
        out, err);
}

}  // namespace pyrelle::helper
