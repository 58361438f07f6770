// Kilnview: the desktop application as a loopback web app. Samples the machine once a second
// (unprivileged, in-process), explains it with the core's analysis code, publishes the
// widget's status file, drives the fans only through PyrelleHelper, and serves the pages and
// /metrics on 127.0.0.1. SIGTERM or SIGINT hands any lease back and exits 0 when the fans then
// read automatic, else 1 with the reason. Started with administrator rights, only a small
// forked part that starts the helper stays root.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Control/ControlTruth.hpp"
#include "Control/HelperClient.hpp"
#include "Control/PrivilegeSeparation.hpp"
#include "Model/AppState.hpp"
#include "Model/SamplingLoop.hpp"
#include "Publish/StatusPublisher.hpp"
#include "Publish/TrustedDirectory.hpp"
#include "Web/AddressFile.hpp"
#include "Web/AppText.hpp"
#include "Web/LiveFeed.hpp"
#include "Web/RequestGuard.hpp"
#include "Web/WebServer.hpp"
#include "pyrelle/HardwareSampler.hpp"
#include "pyrelle/NativePowerSettings.hpp"
#include "pyrelle/NativeProcessSampler.hpp"
#include "pyrelle/ScopeError.hpp"
#include "pyrelle/SensorNamingPlatform.hpp"
#include "pyrelle/SystemClock.hpp"
#include "pyrelle/SystemTelemetry.hpp"
#include "pyrelle/widget/WidgetStorage.hpp"
#include "pyrelle/widget/WidgetStrings.hpp"

namespace fs = std::filesystem;
using namespace kilnview;

namespace {

constexpr const char* kUsage =
    "usage: Kilnview [--port N] [--interval SECONDS] [--helper PATH] [--elevate 'CMD ARGS']\n"
    "                [--user NAME] [--status-dir DIR] [--settings-tool PATH] [--lang CODE]\n"
    "                [--metrics-token-file FILE]\n"
    "       Kilnview --open\n"
    "  --port N             loopback port to serve (default 8742; 0 picks a free one)\n"
    "  --interval SECONDS   sampling interval (default 1)\n"
    "  --helper PATH        PyrelleHelper to drive the fans (default: the one beside Kilnview)\n"
    "  --elevate 'CMD ARGS' starts the helper with administrator rights when Kilnview has none,\n"
    "                       and the real uid, e.g. 'sudo -n setpriv --ruid {uid} --euid 0 --'\n"
    "  --user NAME          started as root: the user (name or uid) it runs as (default: the\n"
    "                       real uid, else SUDO_UID); only a small part that starts the helper\n"
    "                       stays root\n"
    "  --status-dir DIR     where the widget's status.json goes (default: the widget's location)\n"
    "  --settings-tool PATH the power-settings tool (default /usr/bin/pmset)\n"
    "  --lang CODE          UI language when the browser names none (zh-Hans zh-Hant en ja ko de "
    "fr es)\n"
    "  --metrics-token-file FILE  a long-lived bearer token for /metrics (a file of the user or\n"
    "                       root, mode 600), besides the secret of the printed address\n"
    "  --open               open a browser on the running Kilnview of this user\n";

struct Options {
    int port = 8742;
    double interval = 1;
    std::optional<std::string> helper;
    std::vector<std::string> elevation;
    std::optional<std::string> user;
    std::optional<fs::path> statusDirectory;
    std::string settingsTool = pyrelle::NativePowerSettings::defaultToolPath;
    std::optional<std::string> language;
    std::optional<fs::path> metricsTokenFile;
    bool help = false;
    bool open = false;
};

std::optional<Options> parse(int argc, char** argv, std::string& problem) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--open") {
            options.open = true;
            continue;
        }
        if (i + 1 >= argc) {
            problem = argument.rfind("--", 0) == 0 ? argument + " needs a value"
                                                   : "unexpected argument " + argument;
            return std::nullopt;
        }
        const std::string value = argv[++i];
        char* end = nullptr;
        errno = 0;
        if (argument == "--port") {
            const long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
                problem = "--port needs a number from 0 to 65535";
                return std::nullopt;
            }
            options.port = static_cast<int>(port);
        } else if (argument == "--interval") {
            const double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0.1 ||
                seconds > 60) {
                problem = "--interval needs seconds from 0.1 to 60";
                return std::nullopt;
            }
            options.interval = seconds;
        } else if (argument == "--helper") {
            options.helper = value;
        } else if (argument == "--elevate") {
            std::istringstream words(value);
            std::string word;
            options.elevation.clear();
            while (words >> word) options.elevation.push_back(word);
        } else if (argument == "--user") {
            if (value.empty()) {
                problem = "--user needs a user name";
                return std::nullopt;
            }
            options.user = value;
        } else if (argument == "--status-dir") {
            if (value.empty()) {
                problem = "--status-dir needs a directory";
                return std::nullopt;
            }
            options.statusDirectory = fs::path(value);
        } else if (argument == "--metrics-token-file") {
            options.metricsTokenFile = fs::path(value);
        } else if (argument == "--settings-tool") {
            options.settingsTool = value;
        } else if (argument == "--lang") {
            const auto language = languageFor(value);
            if (!language) {
                problem = "--lang needs one of zh-Hans zh-Hant en ja ko de fr es";
                return std::nullopt;
            }
            options.language = *language;
        } else {
            problem = "unknown option " + argument;
            return std::nullopt;
        }
    }
    return options;
}

fs::path executableDirectory() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path() : self.parent_path();
}

// The helper beside the program: installed side by side, or in the build tree's layout.
std::string defaultHelper(const fs::path& directory) {
    for (const fs::path& candidate :
         {directory / "PyrelleHelper",
          directory / ".." / "Sources" / "PyrelleHelper" / "PyrelleHelper"}) {
        if (::access(candidate.c_str(), X_OK) == 0) return fs::weakly_canonical(candidate).string();
    }
    return (directory / "PyrelleHelper").string();
}

// The widget's translation table: beside the build-tree program, or installed under share/.
fs::path translationTable(const fs::path& directory) {
    const fs::path beside = directory / "Localization.json";
    if (fs::exists(beside)) return beside;
    return directory / KILNVIEW_RESOURCES_RELATIVE / "Localization.json";
}

// Wakes the sampling loop's pause when Kilnview is stopping.
class Stopper {
public:
    void stop() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    bool stopped() const {
        std::lock_guard<std::mutex> guard(lock_);
        return stopped_;
    }
    void pause(double seconds) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return stopped_; });
    }

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopped_ = false;
};

// 0 only when the fans read automatic after the leases were ended; else the reason on
// standard error and 1. The fans are read afresh: the last sample may predate the hand-back.
int exitStatus(ActionResult ended, const HelperClient& helper, pyrelle::HardwareSampler& sampler) {
    if (ended.ok) {
        if (const auto failure = helper.control().failure) ended = ActionResult::failure(*failure);
    }
    pyrelle::Snapshot fresh;  // no reading: the fans cannot be taken for automatic
    try {
        fresh = sampler.sample();
    } catch (const std::exception&) {
    }
    const auto problem = ControlTruth::exitProblem(ended, fresh, helper.droveFans());
    if (!problem) return 0;
    std::fprintf(stderr, "Kilnview: %s\n", problem->c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string problem;
    const std::optional<Options> options = parse(argc, argv, problem);
    if (!options) {
        std::fprintf(stderr, "Kilnview: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options->open) return openInBrowser();
    // Read before any administrator rights are given up, so a root-only token file works.
    std::optional<std::string> metricsToken;
    if (options->metricsTokenFile) {
        metricsToken = readTokenFile(*options->metricsTokenFile, ::getuid(), problem);
        if (!metricsToken) {
            std::fprintf(stderr, "Kilnview: --metrics-token-file %s\n", problem.c_str());
            return 2;
        }
    }

    // First of all, while the process is single-threaded and has read nothing but its command
    // line: a process started with administrator rights keeps them only in a small forked
    // part that starts helpers; everything else runs as the user.
    const fs::path directory = executableDirectory();
    const std::string helperPath = options->helper.value_or(defaultHelper(directory));
    const Privileges privileges = separatePrivileges(helperPath, options->user);
    if (!privileges.problem.empty()) {
        std::fprintf(stderr, "Kilnview: %s\n", privileges.problem.c_str());
        return 1;
    }

    // Stop signals are taken by sigwait below; every thread started from here inherits the
    // mask. A helper that went away must not kill Kilnview through a write to its pipe.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (options->statusDirectory) {
        if (const auto untrusted =
                TrustedDirectory::problem(*options->statusDirectory, privileges.uid)) {
            std::fprintf(stderr, "Kilnview: --status-dir %s\n", untrusted->c_str());
            return 2;
        }
    }

    std::vector<std::string> languages =
        pyrelle::WidgetStrings::preferredLanguagesFromEnvironment();
    if (options->language) languages.insert(languages.begin(), *options->language);
    const pyrelle::WidgetStrings strings =
        pyrelle::WidgetStrings::load(translationTable(directory), languages);

    AppState state(pyrelle::currentSensorNamingPlatform(), pyrelle::Date::now());
    LiveFeed feed;
    HelperClient helper(HelperSettings{helperPath, options->elevation, privileges.launcher,
                                       ::getpid(), privileges.uid, pyrelle::SystemClock::uptime});
    state.setControl(helper.control());

    const std::string settingsTool = options->settingsTool;
    WebServer server(WebDependencies{
        state, helper, feed, strings, languages, RequestGuard::newToken(),
        [settingsTool] {
            Pages::PowerReading reading;
            try {
                reading.configuration = pyrelle::NativePowerSettings(settingsTool).read();
            } catch (const std::exception& error) {
                reading.failure = error.what();
            }
            return reading;
        },
        Credentials::fresh(metricsToken), privileges.uid});
    const int port = server.bind(options->port);
    if (port <= 0) {
        std::fprintf(stderr, "Kilnview: cannot listen on 127.0.0.1:%d\n", options->port);
        return 1;
    }
    std::printf("Kilnview: %s\n", server.address().c_str());
    std::fflush(stdout);
    AddressFile addressFile;
    if (const auto failed = addressFile.write(AddressFile::runtimeDirectory(privileges.uid),
                                              server.address(), privileges.uid))
        std::fprintf(stderr, "Kilnview: the address is not kept for --open: %s\n", failed->c_str());

    std::optional<fs::path> statusFile;
    if (options->statusDirectory) statusFile = *options->statusDirectory / "status.json";
    StatusPublisher publisher(statusFile);
    std::optional<std::string> reportedFailure;

    Stopper stopper;
    pyrelle::HardwareSampler sampler;
    pyrelle::NativeProcessSampler processSampler;
    SamplingHooks hooks;
    hooks.sample = [&] { return sampler.sample(); };
    hooks.processes = [&](double now) -> std::optional<std::vector<pyrelle::ProcessReading>> {
        std::vector<pyrelle::ProcessReading> readings = processSampler.sample(now);
        if (readings.empty()) return std::nullopt;
        return readings;
    };
    // Every few seconds, well within the diagnostics' 12-second freshness of process figures.
    hooks.processInterval = std::max(2.5, options->interval);
    hooks.telemetry = [] { return pyrelle::SystemTelemetry::read(); };
    hooks.recorded = [&] {
        const AppView view = state.view();
        publisher.publish(
            view, [&] { return state.history(); }, "system");
        if (publisher.failure() != reportedFailure) {
            reportedFailure = publisher.failure();
            if (reportedFailure) std::fprintf(stderr, "Kilnview: %s\n", reportedFailure->c_str());
        }
        feed.publish();
    };
    hooks.clock = pyrelle::SystemClock::uptime;
    hooks.pause = [&](double seconds) { stopper.pause(seconds); };
    hooks.stopping = [&] { return stopper.stopped(); };
    hooks.reconnect = [&] { sampler.reconnect(); };

    std::thread serving([&] { server.run(); });
    std::thread sampling([&] { runSamplingLoop(state, hooks, options->interval); });
    // The control side is watched on its own thread: ending a frozen helper takes seconds, and
    // the readings go on meanwhile.
    std::thread watching([&] {
        while (!stopper.stopped()) {
            state.setControl(helper.poll());
            stopper.pause(options->interval);
        }
    });

    int signal = 0;
    while (sigwait(&stops, &signal) != 0) {
    }

    // Leases first: the fans are handed back before anything else winds down.
    const ActionResult ended = helper.shutdown();
    stopper.stop();
    server.stop();
    sampling.join();
    watching.join();
    serving.join();
    addressFile.remove();
    return exitStatus(ended, helper, sampler);
}
