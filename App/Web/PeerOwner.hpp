#pragma once
// PeerOwner: which user owns the other end of a loopback TCP connection. The kernel records
// the owning uid of every socket (the file-system uid of the process that created it) and
// lists it per connection in /proc/net/tcp and /proc/net/tcp6; the client's entry is the one
// whose local address is the peer's address and whose remote address is the server's. This
// works for loopback peers only, which are the only ones Kilnview accepts.

#include <sys/types.h>

#include <cstdint>
#include <istream>
#include <optional>

namespace kilnview::PeerOwner {

// An IPv4 endpoint as the kernel lists it: the address in network byte order, the port in
// host byte order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// The uid owning the socket whose local end is `local` and remote end `remote`, from a table
// in the format of /proc/net/tcp (`ipv6` false) or /proc/net/tcp6 (`ipv6` true, where an IPv4
// endpoint appears in its IPv4-mapped form). Absent when no line matches.
std::optional<uid_t> ownerIn(std::istream& table, bool ipv6, Endpoint local, Endpoint remote);

// The owner of the client socket of a connection from `peer` to `server` on this machine;
// absent when the kernel lists no such socket (then the peer is not to be trusted).
std::optional<uid_t> ownerOf(Endpoint peer, Endpoint server);

}  // namespace kilnview::PeerOwner
