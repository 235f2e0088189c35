#include "platform/PeerOwner.h"

#include <unistd.h>

#include <charconv>
#include <cstring>
#include <string>

#include "platform/Files.h"

namespace platform {

namespace {

// Far more than any machine's socket table; a table beyond it is searched no
// further rather than read without bound.
constexpr std::size_t kLongestTable = 64 * 1024 * 1024;
constexpr std::size_t kUidField = 7;
constexpr std::string_view kTimeWait = "06";

bool hexNumber(std::string_view text, std::uint32_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

// "0100007F:0436" (tcp) or 32 hex digits and a port (tcp6). The kernel prints
// each 32-bit word of the address as a number in the machine's byte order, so
// copying the numbers back into memory gives the address bytes in order.
std::optional<Endpoint> parseEndpoint(std::string_view field) {
    const auto colon = field.find(':');
    if (colon == std::string_view::npos || (colon != 8 && colon != 32)) {
        return std::nullopt;
    }
    std::uint32_t words[4] = {};
    const std::size_t count = colon / 8;
    for (std::size_t i = 0; i < count; ++i) {
        if (!hexNumber(field.substr(i * 8, 8), words[i])) {
            return std::nullopt;
        }
    }
    std::uint32_t port = 0;
    if (!hexNumber(field.substr(colon + 1), port) || port > 0xffff) {
        return std::nullopt;
    }
    unsigned char bytes[16] = {};
    std::memcpy(bytes, words, count * 4);
    Endpoint endpoint;
    endpoint.port = static_cast<std::uint16_t>(port);
    if (count == 1) {
        std::memcpy(endpoint.address.data(), bytes, 4);
        return endpoint;
    }
    // Only an IPv4 address mapped into IPv6 (::ffff:a.b.c.d) can be the
    // peer of an IPv4 listener.
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes, kMapped, sizeof kMapped) != 0) {
        return std::nullopt;
    }
    std::memcpy(endpoint.address.data(), bytes + 12, 4);
    return endpoint;
}

bool same(const std::optional<Endpoint>& found, const Endpoint& wanted) {
    return found && found->port == wanted.port && found->address == wanted.address;
}

// The blank-separated fields of one table line, up to the uid.
std::optional<unsigned> lineOwner(std::string_view line, const Endpoint& local,
                                  const Endpoint& peer) {
    std::string_view fields[kUidField + 1];
    std::size_t count = 0;
    std::size_t at = 0;
    while (count <= kUidField) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        const std::size_t end = std::min(line.find(' ', at), line.size());
        fields[count++] = line.substr(at, end - at);
        at = end;
    }
    // A closed socket lingering in TIME_WAIT is listed as root's.
    if (fields[3] == kTimeWait) {
        return std::nullopt;
    }
    // The connecting socket: its own end is the peer, its far end is us.
    if (!same(parseEndpoint(fields[1]), peer) || !same(parseEndpoint(fields[2]), local)) {
        return std::nullopt;
    }
    unsigned uid = 0;
    const std::string_view text = fields[kUidField];
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), uid);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return uid;
}

}  // namespace

std::optional<unsigned> ownerInTable(std::string_view table, const Endpoint& local,
                                     const Endpoint& peer) {
    // Every pass moves past one line end, so the table's length bounds the loop.
    while (!table.empty()) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        if (const std::optional<unsigned> owner = lineOwner(table.substr(0, end), local, peer)) {
            return owner;
        }
        table.remove_prefix(std::min(end + 1, table.size()));
    }
    return std::nullopt;
}

unsigned ownUserId() {
    return ::geteuid();
}

PeerOwner peerOwner(const Endpoint& local, const Endpoint& peer) {
    PeerOwner owner;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        // A system table, not a file of the program's: read as it is.
        const std::optional<std::string> table = readSystemFile(path, kLongestTable);
        if (!table) {
            continue;
        }
        owner.tablesRead = true;
        if (table->size() >= kLongestTable) {
            continue;  // searched no further: nobody is known from it
        }
        owner.uid = ownerInTable(*table, local, peer);
        if (owner.uid) {
            break;
        }
    }
    return owner;
}

}  // namespace platform
