#pragma once
// Shared pieces of the end-to-end fan tests: an owner process running as an ordinary user,
// fresh tokens and their stop files, the helper's path, a curve to run, and checks of the
// device's state.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/Subprocess.hpp"
#include "support/VirtualMac.hpp"

namespace pyrelle::testing {

inline constexpr uint32_t kOwnerUid = 1000;

inline std::string helperPath() {
    return binaryPath("Sources/PyrelleHelper/PyrelleHelper");
}

// A process of uid 1000 standing in for the desktop application.
class OwnerProcess {
public:
    OwnerProcess()
        : process_({"/usr/bin/setpriv", "--reuid", std::to_string(kOwnerUid), "--regid",
                    std::to_string(kOwnerUid), "--clear-groups", "/bin/sleep", "600"}) {
        // Wait until setpriv has switched users, so the owner check sees uid 1000. A loaded
        // machine may take its time; one that never gets there fails the test here.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        const std::string path = "/proc/" + std::to_string(process_.pid());
        while (std::chrono::steady_clock::now() < deadline) {
            struct stat info {};
            if (::stat(path.c_str(), &info) == 0 && info.st_uid == kOwnerUid) {
                std::ifstream comm(path + "/comm");
                std::string name;
                std::getline(comm, name);
                if (name == "sleep") return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        throw std::runtime_error("the owner process never ran as uid " + std::to_string(kOwnerUid));
    }
    pid_t pid() const { return process_.pid(); }
    std::string pidText() const { return std::to_string(process_.pid()); }
    void exit() { process_.signal(SIGKILL); }

private:
    BackgroundProcess process_;
};

// A fresh upper-case token whose stop file is removed again at the end of the test.
class Token {
public:
    Token() {
        static std::atomic<unsigned> counter{0};
        char text[40];
        std::snprintf(text, sizeof text, "%08X-0000-4000-8000-%012X",
                      static_cast<unsigned>(getpid()), counter.fetch_add(1) + 0xA0u);
        text_ = text;
    }
    ~Token() { std::remove(stopFile().c_str()); }
    const std::string& text() const { return text_; }
    std::string lower() const {
        std::string result = text_;
        for (auto& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return result;
    }
    std::string stopFile() const { return "/tmp/pyrelle-stop-" + text_; }
    void requestStop() const { std::ofstream(stopFile()) << ""; }

private:
    std::string text_;
};

inline ProcessOptions deviceOptions(const VirtualMac& mac) {
    // A helper started by the owner (real uid 1000) connects only to a socket the owner
    // could reach itself.
    mac.shareWithAllUsers();
    ProcessOptions options;
    options.environment["PYRELLE_SMC_SOCKET"] = mac.socket();
    options.timeoutSeconds = 60;
    return options;
}

// True when every fan of the device is under system-automatic control.
inline bool allFansAutomatic(const nlohmann::json& state) {
    for (const auto& fan : state.at("fans")) {
        if (fan.at("manual").get<bool>()) return false;
    }
    return true;
}

// Every fan automatic and the fan-test key "Ftst" back at 0: what every ending must leave.
inline bool handedBack(const nlohmann::json& state) {
    return allFansAutomatic(state) && state.at("ftst").get<int>() == 0;
}

// A valid custom curve on the CPU sensor, for the runs that only need one to be running.
inline const nlohmann::json& threePointCurve() {
    static const nlohmann::json curve = {{"points",
                                          {{{"temperature", 30}, {"percent", 20}},
                                           {{"temperature", 60}, {"percent", 40}},
                                           {{"temperature", 85}, {"percent", 100}}}},
                                         {"sensor", "CPU"}};
    return curve;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline size_t writeCount(const nlohmann::json& state) {
    size_t total = 0;
    for (const auto& [key, count] : state.at("writes").items()) total += count.get<size_t>();
    return total;
}

// Polls the device until `predicate` holds (at most `seconds`).
template <typename Predicate>
bool waitForDevice(const VirtualMac& mac, Predicate predicate, double seconds = 15) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate(mac.state())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

inline bool allFansManual(const nlohmann::json& state) {
    for (const auto& fan : state.at("fans")) {
        if (!fan.at("manual").get<bool>()) return false;
    }
    return !state.at("fans").empty();
}

// Injects one device fault (`request` without its "op"); the test fails if the device refuses.
inline void injectFault(const VirtualMac& mac, nlohmann::json request) {
    request["op"] = "fault";
    ASSERT_TRUE(mac.control(request).at("ok").get<bool>()) << request.dump();
}

// Waits until every fan is manual with a target above its minimum: the lease's first cycle is
// written, so a fault injected now hits a running lease, not its take-over.
inline void awaitFansTaken(const VirtualMac& mac) {
    ASSERT_TRUE(waitForDevice(mac, [](const nlohmann::json& state) {
        if (!allFansManual(state)) return false;
        for (const auto& fan : state.at("fans")) {
            if (fan.at("target").get<double>() <= fan.at("minimum").get<double>()) return false;
        }
        return true;
    })) << "the helper never took the fans";
    // The device shows no moment of read-back; let the last write's verification finish.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

// `serve` started as the desktop application starts it: effective uid 0, real uid of the
// owner, the owner's pid and uid as arguments, the virtual Mac behind PYRELLE_SMC_SOCKET.
inline std::vector<std::string> serveArguments(const std::string& pid, const std::string& uid,
                                               uint32_t realUid = kOwnerUid) {
    return {"/usr/bin/setpriv",
            "--ruid",
            std::to_string(realUid),
            "--euid",
            "0",
            helperPath(),
            "serve",
            pid,
            uid};
}

// One control session: requests as compact JSON lines, replies parsed back.
class ServeSession {
public:
    ServeSession(const VirtualMac& mac, const std::string& pid, const std::string& uid)
        : process_(serveArguments(pid, uid), deviceOptions(mac)) {}

    InteractiveProcess& process() { return process_; }

    // Sends one request and returns its reply; a missing or undecodable reply is a null.
    nlohmann::json request(const nlohmann::json& message, double seconds = 30) {
        return requestLine(message.dump(), seconds);
    }
    nlohmann::json requestLine(const std::string& line, double seconds = 30) {
        if (!process_.sendLine(line)) return nullptr;
        const auto reply = process_.readLine(seconds);
        if (!reply) return nullptr;
        return nlohmann::json::parse(*reply, nullptr, false);
    }

private:
    InteractiveProcess process_;
};

}  // namespace pyrelle::testing
