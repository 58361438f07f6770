// PyrelleSimulator: serves a virtual Mac's SMC on a Unix socket, or (ctl) sends one request
// to a running one.
//
//   PyrelleSimulator --profile NAME --socket PATH [--keys N] [--unlock-delay SECONDS]
//   PyrelleSimulator ctl --socket PATH [--selector N] ['<json>']
//   PyrelleSimulator --list-profiles

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pyrelle/sim/SimulatorServer.hpp"
#include "pyrelle/sim/VirtualSMC.hpp"
#include "pyrelle/sim/WireFormat.hpp"

namespace {

using namespace pyrelle::sim;

constexpr const char* kUsage =
    "usage: PyrelleSimulator --profile NAME --socket PATH [--keys N] [--unlock-delay SECONDS]\n"
    "       PyrelleSimulator ctl --socket PATH [--selector N] ['<json request>']\n"
    "       PyrelleSimulator --list-profiles\n";

SimulatorServer* activeServer = nullptr;

void onStopSignal(int) {
    if (activeServer != nullptr) activeServer->stop();
}

int usage(const std::string& problem) {
    std::cerr << "PyrelleSimulator: " << problem << "\n" << kUsage;
    return 2;
}

template <typename T>
std::optional<T> parseNumber(const std::string& text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool readAll(int fd, uint8_t* data, size_t size, int timeoutMs) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t n = ::read(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int control(const std::vector<std::string>& args) {
    std::string socketPath;
    uint32_t selector = pyrelle::csmc::kSelectorControl;
    std::optional<std::string> body;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--socket" && i + 1 < args.size()) {
            socketPath = args[++i];
        } else if (args[i] == "--selector" && i + 1 < args.size()) {
            const auto value = parseNumber<uint32_t>(args[++i]);
            if (!value) return usage("--selector needs a number");
            selector = *value;
        } else if (!body && args[i].rfind("--", 0) != 0) {
            body = args[i];
        } else {
            return usage("unexpected argument " + args[i]);
        }
    }
    if (socketPath.empty()) return usage("ctl needs --socket PATH");
    if (!body) body = selector == pyrelle::csmc::kSelectorControl ? R"({"op":"state"})" : "";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return usage("socket path too long");
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "PyrelleSimulator: cannot connect to " << socketPath << ": "
                  << std::strerror(errno) << "\n";
        if (fd >= 0) ::close(fd);
        return 1;
    }
    const auto frame = WireFormat::encode(
        selector, std::span(reinterpret_cast<const uint8_t*>(body->data()), body->size()));
    bool ok =
        ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    uint8_t header[WireFormat::kHeaderSize];
    ok = ok && readAll(fd, header, sizeof header, 10000);
    const auto status = static_cast<int32_t>(ok ? WireFormat::get32(header) : 0);
    const uint32_t length = ok ? WireFormat::get32(header + 4) : 0;
    std::string reply(ok && length <= WireFormat::kMaxPayload ? length : 0, '\0');
    ok = ok && length <= WireFormat::kMaxPayload &&
         readAll(fd, reinterpret_cast<uint8_t*>(reply.data()), reply.size(), 10000);
    ::close(fd);
    if (!ok) {
        std::cerr << "PyrelleSimulator: no complete reply from " << socketPath << "\n";
        return 1;
    }
    if (selector == pyrelle::csmc::kSelectorUserClient) {
        // Binary block: show it in hexadecimal.
        for (size_t i = 0; i < reply.size(); ++i)
            std::printf("%02x%s", static_cast<uint8_t>(reply[i]), (i + 1) % 16 ? " " : "\n");
        if (reply.size() % 16) std::printf("\n");
    } else if (!reply.empty()) {
        std::cout << reply << "\n";
    }
    if (status != 0) {
        std::cerr << "PyrelleSimulator: status 0x" << std::hex << static_cast<uint32_t>(status)
                  << std::dec << "\n";
        return 1;
    }
    if (selector == pyrelle::csmc::kSelectorControl) {
        const auto parsed = nlohmann::json::parse(reply, nullptr, false);
        if (!parsed.is_object() || !parsed.value("ok", false)) return 1;
    }
    return 0;
}

int serve(const std::vector<std::string>& args) {
    std::string profileName, socketPath;
    size_t keys = 0;
    std::optional<double> unlockDelay;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--profile" && hasValue) {
            profileName = args[++i];
        } else if (args[i] == "--socket" && hasValue) {
            socketPath = args[++i];
        } else if (args[i] == "--keys" && hasValue) {
            const auto value = parseNumber<size_t>(args[++i]);
            if (!value) return usage("--keys needs a whole number");
            keys = *value;
        } else if (args[i] == "--unlock-delay" && hasValue) {
            const auto value = parseNumber<double>(args[++i]);
            if (!value || *value < 0 || *value > 60)
                return usage("--unlock-delay needs seconds within 0…60");
            unlockDelay = value;
        } else {
            return usage("unexpected argument " + args[i]);
        }
    }
    if (profileName.empty() || socketPath.empty())
        return usage("--profile and --socket are required");
    auto profile = Profile::named(profileName, keys);
    if (!profile) {
        std::string known;
        for (const auto& name : Profile::names()) known += " " + name;
        return usage("unknown profile " + profileName + " (known:" + known + ", or NAME-KEYCOUNT)");
    }
    auto device = std::make_shared<VirtualSMC>(std::move(*profile));
    if (unlockDelay) device->control({{"op", "unlock-delay"}, {"seconds", *unlockDelay}});
    try {
        SimulatorServer server(device, socketPath);
        server.listen();
        activeServer = &server;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        std::printf("PyrelleSimulator: %s ready on %s\n", profileName.c_str(), socketPath.c_str());
        std::fflush(stdout);
        server.run();
        activeServer = nullptr;
    } catch (const std::exception& e) {
        activeServer = nullptr;
        std::cerr << "PyrelleSimulator: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "ctl") return control({args.begin() + 1, args.end()});
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    if (!args.empty() && args[0] == "--list-profiles") {
        for (const auto& name : Profile::names()) std::cout << name << "\n";
        return 0;
    }
    return serve(args);
}
