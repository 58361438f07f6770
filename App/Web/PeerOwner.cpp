#include "Web/PeerOwner.hpp"

#include <arpa/inet.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kilnview::PeerOwner {

namespace {

// "0100007F:1F90" (IPv4) or 32 hex digits then ":1F90" (IPv6): the kernel prints each 32-bit
// word of the address as the host reads it from memory, so a word parsed here compares
// equal to the same word of the address in network byte order.
bool matches(const std::string& field, bool ipv6, Endpoint endpoint) {
    const std::size_t colon = field.find(':');
    const std::size_t digits = ipv6 ? 32 : 8;
    if (colon != digits || field.size() < colon + 2) return false;
    const unsigned long port = std::strtoul(field.c_str() + colon + 1, nullptr, 16);
    if (port != endpoint.port) return false;
    std::uint32_t words[4] = {0, 0, 0, endpoint.address};
    if (ipv6) {
        // ::ffff:a.b.c.d
        std::uint32_t mapped = htonl(0x0000ffffu);
        words[2] = mapped;
    }
    const std::size_t count = ipv6 ? 4 : 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t word =
            static_cast<std::uint32_t>(std::strtoul(field.substr(i * 8, 8).c_str(), nullptr, 16));
        if (word != words[4 - count + i]) return false;
    }
    return true;
}

}  // namespace

std::optional<uid_t> ownerIn(std::istream& table, bool ipv6, Endpoint local, Endpoint remote) {
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localField, remoteField, state, queues, timer, retransmits;
        long uid = -1;
        if (!(fields >> slot >> localField >> remoteField >> state >> queues >> timer >>
              retransmits >> uid))
            continue;
        if (uid < 0 || !matches(localField, ipv6, local) || !matches(remoteField, ipv6, remote))
            continue;
        return static_cast<uid_t>(uid);
    }
    return std::nullopt;
}

std::optional<uid_t> ownerOf(Endpoint peer, Endpoint server) {
    for (const auto& [path, ipv6] : {std::pair{"/proc/net/tcp", false}, {"/proc/net/tcp6", true}}) {
        std::ifstream table(path);
        if (!table) continue;
        if (auto owner = ownerIn(table, ipv6, peer, server)) return owner;
    }
    return std::nullopt;
}

}  // namespace kilnview::PeerOwner
