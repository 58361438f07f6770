// PyrelleStatusPublisher: a stand-in for the desktop application's publishing side. It turns
// a series of `PyrelleHelper probe` readings (oldest first) into the widget's status file:
// the last reading's figures, the fans, a mode label and five-minute trends of the series.
// Exit status 0 after success, 1 when a reading cannot be used or the file cannot be
// written, 2 for a bad command line.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "pyrelle/MetricHistory.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/Snapshot.hpp"
#include "pyrelle/widget/WidgetDataError.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"

namespace fs = std::filesystem;
using namespace pyrelle;

namespace {

// The mode label the application shows while every fan is under system-automatic control.
constexpr const char* kAutomaticMode = "系统自动";
// A probe document is a few hundred kilobytes at most; anything far larger is not one.
constexpr std::uintmax_t kMaximumReadingSize = 16 * 1024 * 1024;
// Two readings further apart than this belong to different runs of a trend line.
constexpr double kMaximumGap = 15;

constexpr const char* kUsage =
    "usage: PyrelleStatusPublisher [--status FILE] [--mode TEXT] SNAPSHOT.json...\n"
    "  SNAPSHOT.json   readings printed by `PyrelleHelper probe`, oldest first\n"
    "  --status FILE   status file to write (default: the widget's status file)\n"
    "  --mode TEXT     cooling mode label (default: \"系统自动\" while no fan is manual)\n";

// Thrown for a reading or an output the publisher cannot use; the text names the culprit.
struct PublishError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::optional<fs::path> status;
    std::optional<std::string> mode;
    std::vector<fs::path> readings;
    bool help = false;
};

// The parsed command line, or the problem with it.
std::optional<Options> parse(int argc, char** argv, std::string& problem) {
    Options options;
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (endOfOptions || argument.empty() || argument[0] != '-' || argument == "-") {
            options.readings.emplace_back(argument);
        } else if (argument == "--") {
            endOfOptions = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--status" || argument == "--mode") {
            if (i + 1 >= argc) {
                problem = argument + " needs a value";
                return std::nullopt;
            }
            const std::string value = argv[++i];
            if (argument == "--mode") {
                options.mode = value;
            } else if (value.empty()) {
                problem = "--status needs a file name";
                return std::nullopt;
            } else {
                options.status = fs::path(value);
            }
        } else {
            problem = "unknown option " + argument;
            return std::nullopt;
        }
    }
    if (!options.help && options.readings.empty()) {
        problem = "no snapshot given";
        return std::nullopt;
    }
    return options;
}

std::string readFile(const fs::path& path) {
    std::error_code error;
    if (fs::is_directory(path, error)) throw PublishError(path.string() + ": is a directory");
    const auto size = fs::file_size(path, error);
    if (!error && size > kMaximumReadingSize)
        throw PublishError(path.string() + ": too large for a snapshot");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw PublishError(path.string() + ": cannot be read");
    std::string text;
    // Read one byte past the limit so a file that grew after the size check is still refused.
    std::istreambuf_iterator<char> it(in), end;
    for (; it != end && text.size() <= kMaximumReadingSize; ++it) text.push_back(*it);
    if (text.size() > kMaximumReadingSize)
        throw PublishError(path.string() + ": too large for a snapshot");
    if (in.bad()) throw PublishError(path.string() + ": cannot be read");
    return text;
}

// The readings in the order given; each must be strictly later than the one before, since
// the last one dates the status file and the trends run forward in time.
std::vector<Snapshot> readSnapshots(const std::vector<fs::path>& paths) {
    std::vector<Snapshot> snapshots;
    for (const fs::path& path : paths) {
        Snapshot snapshot;
        try {
            snapshot = decodeSnapshot(readFile(path));
        } catch (const ScopeError& error) {
            throw PublishError(path.string() + ": not a snapshot: " + error.what());
        }
        if (!snapshot.date.isFinite())
            throw PublishError(path.string() + ": the snapshot has no valid date");
        if (!snapshots.empty() && !(snapshot.date > snapshots.back().date)) {
            throw PublishError(path.string() + ": not later than the snapshot before it (" +
                               snapshots.back().date.iso8601() +
                               "); give the snapshots oldest first");
        }
        snapshots.push_back(std::move(snapshot));
    }
    return snapshots;
}

// The fastest fan's speed, which is what the widget's fan figure shows.
std::optional<double> fastestFan(const Snapshot& snapshot) {
    std::optional<double> fastest;
    for (const FanReading& fan : snapshot.fans) {
        if (fan.rpm && (!fastest || *fan.rpm > *fastest)) fastest = fan.rpm;
    }
    return fastest;
}

std::optional<double> reading(const Snapshot& snapshot, WidgetMetric metric) {
    switch (metric) {
        case WidgetMetric::cpuTemperature: return snapshot.cpuTemperature();
        case WidgetMetric::gpuTemperature: return snapshot.temperature(SensorCategory::gpu);
        case WidgetMetric::storageTemperature: return snapshot.temperature(SensorCategory::storage);
        case WidgetMetric::cpuUsage: return snapshot.cpuUsage;
        case WidgetMetric::fan: return fastestFan(snapshot);
    }
    return std::nullopt;
}

// The status file's content for a series of readings, oldest first (at least one).
WidgetSnapshot build(const std::vector<Snapshot>& snapshots,
                     const std::optional<std::string>& mode) {
    const Snapshot& last = snapshots.back();

    // A chart history per metric cuts the series where a line must not be drawn (a gap or a
    // missing reading); the snapshot's cleaning then keeps the last five minutes of it.
    WidgetSnapshot::Trends trends;
    for (WidgetMetric metric : allWidgetMetrics) {
        MetricHistory history(kMaximumGap, false);
        for (const Snapshot& snapshot : snapshots)
            history.append(reading(snapshot, metric), snapshot.date);
        std::vector<WidgetPoint>& points = trends[std::string(toText(metric))];
        for (const MetricPoint& point : history.points()) {
            points.emplace_back(point.date.secondsSinceReferenceDate(), point.value, point.segment);
        }
    }

    std::vector<WidgetFan> fans;
    bool anyManual = false;
    for (const FanReading& fan : last.fans) {
        fans.emplace_back(fan.id, fan.rpm, fan.maximum, fan.manual);
        anyManual = anyManual || fan.manual.value_or(false);
    }
    // Without a label from the caller only the automatic state can be named honestly.
    std::string label = mode.value_or(anyManual ? "" : kAutomaticMode);

    return WidgetSnapshot(
        last.date.secondsSinceReferenceDate(), reading(last, WidgetMetric::cpuTemperature),
        reading(last, WidgetMetric::gpuTemperature),
        reading(last, WidgetMetric::storageTemperature), last.cpuUsage, std::move(fans),
        std::move(label), std::string(title(last.turbo)), "system", true, std::move(trends));
}

}  // namespace

int main(int argc, char** argv) {
    std::string problem;
    const std::optional<Options> options = parse(argc, argv, problem);
    if (!options) {
        std::fprintf(stderr, "PyrelleStatusPublisher: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string target =
        options->status ? options->status->string() : "the widget's status file";
    try {
        const WidgetSnapshot status = build(readSnapshots(options->readings), options->mode);
        WidgetStorage::write(status, options->status);
        const auto location = options->status ? options->status : WidgetStorage::url();
        std::printf("%s\n", location ? location->string().c_str() : target.c_str());
        return 0;
    } catch (const PublishError& error) {
        std::fprintf(stderr, "PyrelleStatusPublisher: %s\n", error.what());
    } catch (const WidgetDataError&) {
        std::fprintf(stderr,
                     "PyrelleStatusPublisher: cannot write %s: no usable location, or the readings "
                     "hold text the status file cannot carry\n",
                     target.c_str());
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "PyrelleStatusPublisher: cannot write %s: %s\n", target.c_str(),
                     error.code().message().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "PyrelleStatusPublisher: %s\n", error.what());
    }
    return 1;
}
