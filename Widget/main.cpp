// PyrelleWidget: renders the widget's timeline from the status file the desktop
// application publishes. Exit status 0 after success, 1 when the output cannot be
// written, 2 for a bad command line.
#include <cstdio>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "WidgetHost.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto parsed = pyrelle::WidgetHost::parse(arguments);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "PyrelleWidget: %s\n%s", error->c_str(),
                     pyrelle::WidgetHost::usage().c_str());
        return 2;
    }
    const auto& options = std::get<pyrelle::WidgetHost::Options>(parsed);
    if (options.help) {
        std::fputs(pyrelle::WidgetHost::usage().c_str(), stdout);
        return 0;
    }
    try {
        pyrelle::WidgetHost::run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "PyrelleWidget: %s\n", error.what());
        return 1;
    }
    return 0;
}
