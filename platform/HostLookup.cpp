#include "platform/HostLookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/SocketError.h"

namespace platform {

namespace {
constexpr int kHostNotFound = 11001;
}

HostLookupResult lookupHost(const std::string& name) {
    if (name.empty()) {
        return {std::nullopt, kHostNotFound};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    errno = 0;
    const int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (result != 0) {
        return {std::nullopt, gaiErrorCode(result)};
    }
    HostLookupResult lookup{std::nullopt, kHostNotFound};
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
            entry->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            Ipv4Address bytes{};
            std::memcpy(bytes.data(), &address->sin_addr.s_addr, bytes.size());
            lookup = {bytes, 0};
            break;
        }
    }
    ::freeaddrinfo(found);
    return lookup;
}

std::optional<Ipv4Address> dottedToAddress(std::string_view text) {
    Ipv4Address address{};
    std::size_t at = 0;
    for (std::size_t group = 0; group < address.size(); ++group) {
        if (group > 0) {
            if (at >= text.size() || text[at] != '.') {
                return std::nullopt;
            }
            ++at;
        }
        int value = 0;
        std::size_t digits = 0;
        while (at < text.size() && digits < 4 && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return std::nullopt;
        }
        address[group] = static_cast<std::uint8_t>(value);
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    return address;
}

std::string addressToDotted(const Ipv4Address& address) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    return text;
}

}  // namespace platform
