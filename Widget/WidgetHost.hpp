#pragma once
// WidgetHost: the program's own minimal widget host. It asks the provider for a timeline
// and renders every entry's card for every supported family into a directory: one SVG per
// card, an index.html showing them side by side and a timeline.json.
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pyrelle::WidgetHost {

struct Options {
    std::filesystem::path out;
    std::optional<std::filesystem::path> status;  // default: the status file's own location
    std::optional<double> now;                    // seconds since 2001-01-01; default: the clock
    bool help = false;
};

// The usage text.
std::string usage();

// The options of a command line (without the program name), or a message saying what is wrong.
std::variant<Options, std::string> parse(const std::vector<std::string>& arguments);

// The wall clock in seconds since 2001-01-01T00:00:00Z.
double now();

// Renders the timeline into `options.out`. Each file is replaced atomically, private to the
// user (0600), and never written through an entry planted under its name. Throws
// std::exception when the output cannot be written.
void run(const Options& options);

}  // namespace pyrelle::WidgetHost
