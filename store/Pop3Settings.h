#pragma once

#include <cstdint>
#include <string>

// The ports the proxy may listen on. A local port outside them is moved to
// 2000 when the proxy starts, where no mail client is told to look, so the
// places that take a port from the user refuse it instead.
inline constexpr int kLowestLocalPort = 1025;
inline constexpr int kHighestLocalPort = 5000;
inline constexpr int kHighestPort = 65535;

// Where the proxy finds the user's POP3 server and where it listens itself.
struct Pop3Settings {
    bool useDomainName = true;  // false: connect by the IP number
    std::string serverName;     // at most 79 characters are kept
    std::uint8_t ip1 = 0;       // most significant number of the address
    std::uint8_t ip2 = 0;
    std::uint8_t ip3 = 0;
    std::uint8_t ip4 = 0;
    int pop3Port = 110;
    int localPort = 1070;

    bool operator==(const Pop3Settings&) const = default;
};
