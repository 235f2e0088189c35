#include "platform/HostLookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/SocketError.h"

namespace platform {

namespace {
constexpr int kHostNotFound = 11001;
constexpr auto kStopCheck = std::chrono::milliseconds(100);

HostLookupResult resolve(const std::string& name) {
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

// Shared by the waiting caller and the lookup thread, so that whichever ends
// last frees it.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    HostLookupResult result;
};

}  // namespace

HostLookupResult lookupHost(const std::string& name, const std::atomic<bool>* stop) {
    if (stop == nullptr) {
        return resolve(name);
    }
    return lookupHost(name, *stop, resolve);
}

HostLookupResult lookupHost(const std::string& name, const std::atomic<bool>& stop,
                            HostResolver resolver) {
    auto pending = std::make_shared<PendingLookup>();
    std::thread([pending, name, resolver = std::move(resolver)] {
        HostLookupResult result = resolver(name);
        const std::lock_guard<std::mutex> lock(pending->mutex);
        pending->result = result;
        pending->done = true;
        pending->finished.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->finished.wait_for(lock, kStopCheck, [&] { return pending->done; })) {
        if (stop.load()) {
            return {std::nullopt, 0, true};
        }
    }
    return pending->result;
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
