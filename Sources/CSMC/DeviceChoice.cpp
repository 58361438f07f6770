#include "DeviceChoice.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <vector>

#include "KernelTreeDevice.hpp"

namespace pyrelle::csmc {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Runs `open` on this thread with the real user's file-system identity: fsuid/fsgid of the
// real ids and no supplementary groups. These are per-thread credentials (the raw setgroups
// call, unlike the library's, changes only this thread), so other threads keep root's
// rights meanwhile. Returns -1 without calling `open` when the switch cannot be made.
template <typename Open>
int asCaller(Open open) {
    const uid_t user = ::getuid();
    const gid_t group = ::getgid();
    // A process that has already dropped to its real ids (a secure exec that gave its rights
    // up, as Kilnview does) opens with the caller's identity as it stands, and could not
    // change its groups anyway.
    if (::geteuid() == user && ::getegid() == group) return open();
    const int groupCount = ::getgroups(0, nullptr);
    if (groupCount < 0) return -1;
    std::vector<gid_t> groups(static_cast<size_t>(groupCount));
    if (::getgroups(groupCount, groups.data()) != groupCount) return -1;
    if (::syscall(SYS_setgroups, 0, nullptr) != 0) return -1;
    const int oldGroup = ::setfsgid(group);
    const int oldUser = ::setfsuid(user);
    int result = -1;
    // setfsuid/setfsgid report the previous value, not failure: confirm the switch.
    if (::setfsuid(static_cast<uid_t>(-1)) == static_cast<int>(user) &&
        ::setfsgid(static_cast<gid_t>(-1)) == static_cast<int>(group)) {
        result = open();
    }
    ::setfsuid(static_cast<uid_t>(oldUser));
    ::setfsgid(static_cast<gid_t>(oldGroup));
    ::syscall(SYS_setgroups, groups.size(), groups.data());
    return result;
}

bool rootOnly(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::shared_ptr<Device> openTree(KernelDriver driver, const std::string& path, bool secure) {
    auto openDirectory = [&path] {
        return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    };
    const int directory = secure ? asCaller(openDirectory) : openDirectory();
    if (directory < 0) return nullptr;
    struct stat info {};
    if (secure && (::fstat(directory, &info) != 0 || !rootOnly(info))) {
        ::close(directory);
        return nullptr;
    }
    return KernelTreeDevice::open(driver, directory, secure);
}

std::string firstLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

DeviceChoice parseDeviceChoice(const char* device, const char* socket) {
    DeviceChoice choice;
    if (device != nullptr && device[0] != '\0') {
        choice.explicitChoice = true;
        const std::string_view text(device);
        struct Prefix {
            std::string_view text;
            DeviceChoice::Kind kind;
        };
        static constexpr Prefix kPrefixes[] = {{"socket:", DeviceChoice::Kind::socket},
                                               {"applesmc:", DeviceChoice::Kind::applesmc},
                                               {"macsmc:", DeviceChoice::Kind::macsmc}};
        for (const auto& prefix : kPrefixes) {
            if (startsWith(text, prefix.text) && text.size() > prefix.text.size()) {
                choice.kind = prefix.kind;
                choice.path = std::string(text.substr(prefix.text.size()));
            }
        }
        return choice;
    }
    if (socket != nullptr && socket[0] != '\0') {
        choice.explicitChoice = true;
        choice.kind = DeviceChoice::Kind::socket;
        choice.path = socket;
    }
    return choice;
}

DeviceChoice environmentChoice() {
    return parseDeviceChoice(std::getenv("PYRELLE_SMC_DEVICE"), std::getenv("PYRELLE_SMC_SOCKET"));
}

DeviceChoice probeStandardTrees(const std::string& sysRoot) {
    const std::string hwmon = sysRoot + "/class/hwmon";
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(hwmon.c_str())) {
        while (const dirent* item = ::readdir(dir)) {
            if (startsWith(item->d_name, "hwmon")) names.emplace_back(item->d_name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    auto found = [](DeviceChoice::Kind kind, std::string path) {
        DeviceChoice choice;
        choice.kind = kind;
        choice.path = std::move(path);
        return choice;
    };
    // applesmc wherever it lives: a hwmon device of its own (named applesmc), or the device
    // behind a hwmon entry whose driver, or whose `name`, is applesmc (the platform device
    // applesmc.768 on older Intel Macs, the ACPI device APP0001:00 on T2 Macs).
    for (const auto& name : names) {
        const std::string path = hwmon + "/" + name;
        if (firstLine(path + "/name") == "applesmc")
            return found(DeviceChoice::Kind::applesmc, path);
        const std::string device = path + "/device";
        char driver[PATH_MAX];
        const ssize_t length = ::readlink((device + "/driver").c_str(), driver, sizeof driver - 1);
        const std::string driverName =
            length > 0 ? std::filesystem::path(std::string(driver, static_cast<size_t>(length)))
                             .filename()
                             .string()
                       : std::string();
        if (driverName == "applesmc" || firstLine(device + "/name") == "applesmc") {
            char resolved[PATH_MAX];
            if (::realpath(device.c_str(), resolved) != nullptr)
                return found(DeviceChoice::Kind::applesmc, resolved);
        }
    }
    // Without the hwmon class (a trimmed /sys), the driver's own devices.
    for (const char* known : {"/devices/platform/applesmc.768", "/bus/acpi/devices/APP0001:00"}) {
        struct stat info {};
        const std::string path = sysRoot + known;
        if (::stat((path + "/fan1_input").c_str(), &info) == 0 ||
            ::stat((path + "/key_count").c_str(), &info) == 0) {
            return found(DeviceChoice::Kind::applesmc, path);
        }
    }
    for (const auto& name : names) {
        const std::string path = hwmon + "/" + name;
        if (firstLine(path + "/name") == "macsmc_hwmon")
            return found(DeviceChoice::Kind::macsmc, path);
    }
    return {};
}

std::shared_ptr<SocketDevice> connectSocket(const std::string& path,
                                            std::chrono::milliseconds timeout, bool secure) {
    if (!secure) return SocketDevice::connect(path, timeout);
    std::shared_ptr<SocketDevice> device;
    asCaller([&] {
        device = SocketDevice::connect(path, timeout);
        return 0;
    });
    return device;
}

bool secureExecution() {
    return ::getauxval(AT_SECURE) != 0 || ::getuid() != ::geteuid() || ::getgid() != ::getegid();
}

std::shared_ptr<Device> openChosenDevice(const DeviceChoice& choice,
                                         std::chrono::milliseconds timeout, bool secure) {
    switch (choice.kind) {
        case DeviceChoice::Kind::socket: return connectSocket(choice.path, timeout, secure);
        case DeviceChoice::Kind::applesmc:
            return openTree(KernelDriver::applesmc, choice.path, secure);
        case DeviceChoice::Kind::macsmc: return openTree(KernelDriver::macsmc, choice.path, secure);
        case DeviceChoice::Kind::none: break;
    }
    return nullptr;
}

}  // namespace pyrelle::csmc
