// Kilnview: the desktop application as a loopback web app. Samples the machine once a second
// (unprivileged, in-process), explains it with the core's analysis code, publishes the
// widget's status file, drives the fans only through PyrelleHelper, and serves the pages and
// /metrics on 127.0.0.1. SIGTERM or SIGINT hands any lease back (fans automatic) and exits 0.
#include <grp.h>
#include <pwd.h>
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

#include "Control/HelperClient.hpp"
#include "Model/AppState.hpp"
#include "Model/SamplingLoop.hpp"
#include "Publish/StatusPublisher.hpp"
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
    "                [--status-dir DIR] [--settings-tool PATH] [--lang CODE]\n"
    "  --port N             loopback port to serve (default 8742; 0 picks a free one)\n"
    "  --interval SECONDS   sampling interval (default 1)\n"
    "  --helper PATH        PyrelleHelper to drive the fans (default: the one beside Kilnview)\n"
    "  --elevate 'CMD ARGS' starts the helper with administrator rights when Kilnview has none,\n"
    "                       and the real uid, e.g. 'sudo -n setpriv --ruid {uid} --euid 0 --'\n"
    "  --status-dir DIR     where the widget's status.json goes (default: the widget's location)\n"
    "  --settings-tool PATH the power-settings tool (default /usr/bin/pmset)\n"
    "  --lang CODE          UI language when the browser names none (zh-Hans zh-Hant en ja ko de "
    "fr es)\n";

struct Options {
    int port = 8742;
    double interval = 1;
    std::optional<std::string> helper;
    std::vector<std::string> elevation;
    std::optional<fs::path> statusDirectory;
    std::string settingsTool = pyrelle::NativePowerSettings::defaultToolPath;
    std::optional<std::string> language;
    bool help = false;
};

std::optional<Options> parse(int argc, char** argv, std::string& problem) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
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
        } else if (argument == "--status-dir") {
            if (value.empty()) {
                problem = "--status-dir needs a directory";
                return std::nullopt;
            }
            options.statusDirectory = fs::path(value);
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

// Who Kilnview runs as. The helper's owner check wants an owner whose real and effective
// user id is the non-root uid named on its command line, and the web server and sampler need
// no rights at all. So a Kilnview started with administrator rights runs as its user (the
// real uid; for a plain root start, the sudo user, else "nobody") and keeps root only in its
// saved user id, from which a helper child regains it.
struct Identity {
    bool administrator = false;
    uid_t uid = 0;
    std::string problem;
};

Identity settleIdentity() {
    Identity identity;
    identity.uid = ::getuid();
    if (::geteuid() != 0) return identity;
    uid_t user = ::getuid();
    if (user == 0) {
        user = 65534;  // nobody
        if (const char* sudo = std::getenv("SUDO_UID")) {
            char* end = nullptr;
            const unsigned long parsed = std::strtoul(sudo, &end, 10);
            if (*sudo != '\0' && *end == '\0' && parsed > 0 && parsed < 4294967295UL)
                user = static_cast<uid_t>(parsed);
        }
    }
    // The user's own group too, and no supplementary groups: nothing of root's stays but the
    // saved user id.
    gid_t group = 65534;  // nogroup
    if (const passwd* entry = ::getpwuid(user)) {
        group = entry->pw_gid;
        // The user's own home, so the widget's status file lands where that user's widget
        // reads it rather than in root's home.
        if (entry->pw_dir && *entry->pw_dir) ::setenv("HOME", entry->pw_dir, 1);
    }
    if (const char* sudo = std::getenv("SUDO_GID");
        sudo && ::getuid() == 0 && std::getenv("SUDO_UID")) {
        char* end = nullptr;
        const unsigned long parsed = std::strtoul(sudo, &end, 10);
        if (*sudo != '\0' && *end == '\0' && parsed < 4294967295UL)
            group = static_cast<gid_t>(parsed);
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
        ::setresuid(user, user, 0) != 0) {
        identity.problem = std::string("cannot set the user id: ") + std::strerror(errno);
        return identity;
    }
    identity.administrator = true;
    identity.uid = user;
    return identity;
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

    // Stop signals are taken by sigwait below; every thread started from here inherits the
    // mask. A helper that went away must not kill Kilnview through a write to its pipe.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // Before any thread starts, so every thread runs as the user.
    const Identity identity = settleIdentity();
    if (!identity.problem.empty()) {
        std::fprintf(stderr, "Kilnview: %s\n", identity.problem.c_str());
        return 1;
    }

    const fs::path directory = executableDirectory();
    std::vector<std::string> languages =
        pyrelle::WidgetStrings::preferredLanguagesFromEnvironment();
    if (options->language) languages.insert(languages.begin(), *options->language);
    const pyrelle::WidgetStrings strings =
        pyrelle::WidgetStrings::load(translationTable(directory), languages);

    AppState state(pyrelle::currentSensorNamingPlatform(), pyrelle::Date::now());
    LiveFeed feed;
    HelperClient helper(HelperSettings{options->helper.value_or(defaultHelper(directory)),
                                       options->elevation, identity.administrator, ::getpid(),
                                       identity.uid, pyrelle::SystemClock::uptime});
    state.setControl(helper.control());

    const std::string settingsTool = options->settingsTool;
    WebServer server(WebDependencies{
        state, helper, feed, strings, languages, RequestGuard::newToken(), [settingsTool] {
            Pages::PowerReading reading;
            try {
                reading.configuration = pyrelle::NativePowerSettings(settingsTool).read();
            } catch (const std::exception& error) {
                reading.failure = error.what();
            }
            return reading;
        }});
    const int port = server.bind(options->port);
    if (port <= 0) {
        std::fprintf(stderr, "Kilnview: cannot listen on 127.0.0.1:%d\n", options->port);
        return 1;
    }
    std::printf("Kilnview: http://127.0.0.1:%d/\n", port);
    std::fflush(stdout);

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
        state.setControl(helper.poll());
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

    int signal = 0;
    while (sigwait(&stops, &signal) != 0) {
    }

    // Leases first: the fans are handed back before anything else winds down.
    const ActionResult ended = helper.shutdown();
    stopper.stop();
    server.stop();
    sampling.join();
    serving.join();
    if (!ended.ok) {
        std::fprintf(stderr, "Kilnview: %s\n", ended.message.c_str());
        return 1;
    }
    return 0;
}
