#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/TcpSocket.h"

namespace platform {

// One end of a TCP connection.
struct Endpoint {
    Ipv4Address address{};
    std::uint16_t port = 0;
};

struct PeerOwner {
    // False when no socket table could be read (some hardened systems keep
    // them from ordinary users): then nobody can be told apart.
    bool tablesRead = false;
    // Nothing when no entry matches (the client has gone already).
    std::optional<unsigned> uid;
};

// Who owns the socket at the other end of a loopback connection this process
// accepted: the system's socket tables list every local socket with its
// owner's user id, and the connecting socket is the one whose own end is
// `peer` and whose far end is `local` (the accepting socket's). A client on an
// IPv6 socket appears in the IPv6 table with v4-mapped addresses.
PeerOwner peerOwner(const Endpoint& local, const Endpoint& peer);

// The user id this process acts as.
unsigned ownUserId();

// The same search over one table's text ("/proc/net/tcp" or "tcp6" layout).
std::optional<unsigned> ownerInTable(std::string_view table, const Endpoint& local,
                                     const Endpoint& peer);

}  // namespace platform
