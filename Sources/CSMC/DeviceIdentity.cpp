#include "CSMCDeviceIdentity.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DeviceChoice.hpp"

namespace pyrelle::csmc {
namespace {

// False only when the socket file is there but refuses connections: its listener is gone.
// A listener that is slow or busy (a full backlog, a stalled controller) still counts.
bool listened(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return true;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    const int error = result == 0 ? 0 : errno;
    ::close(fd);
    return error != ECONNREFUSED && error != ENOENT;
}

}  // namespace

std::optional<DeviceIdentity> chosenDeviceIdentity() {
    DeviceChoice choice = environmentChoice();
    if (!choice.explicitChoice) choice = probeStandardTrees("/sys");
    if (choice.kind == DeviceChoice::Kind::none) return std::nullopt;
    struct stat info {};
    if (::stat(choice.path.c_str(), &info) != 0) return std::nullopt;
    if (choice.kind == DeviceChoice::Kind::socket) {
        if (!S_ISSOCK(info.st_mode) || !listened(choice.path)) return std::nullopt;
    } else if (!S_ISDIR(info.st_mode)) {
        return std::nullopt;
    }
    return DeviceIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

}  // namespace pyrelle::csmc
