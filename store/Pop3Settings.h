#pragma once

#include <cstdint>
#include <string>

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
