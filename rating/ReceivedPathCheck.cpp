#include "rating/ReceivedPathCheck.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

struct Block {
    std::uint32_t network;
    int prefixLength;
};

constexpr std::uint32_t address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | std::uint32_t{c} << 8 | d;
}

constexpr Block kNotPublic[] = {
    {address(0, 0, 0, 0), 8},     {address(10, 0, 0, 0), 8},      {address(100, 64, 0, 0), 10},
    {address(127, 0, 0, 0), 8},   {address(169, 254, 0, 0), 16},  {address(172, 16, 0, 0), 12},
    {address(192, 0, 0, 0), 24},  {address(192, 0, 2, 0), 24},    {address(192, 168, 0, 0), 16},
    {address(198, 18, 0, 0), 15}, {address(198, 51, 100, 0), 24}, {address(203, 0, 113, 0), 24},
    {address(224, 0, 0, 0), 4},   {address(240, 0, 0, 0), 4},
};

using Clock = std::chrono::steady_clock;

// The addresses to ask about, oldest first: the newest distinct public ones.
// Two texts of one address ("1.2.3.4", "01.2.3.4") count as one.
std::vector<std::string> addressesToAsk(const std::vector<std::string>& receivedIPs) {
    std::vector<std::string> chosen;
    std::vector<std::array<std::uint8_t, 4>> seen;
    for (const std::string& text : receivedIPs) {
        if (chosen.size() == kMaxCheckedAddresses) {
            break;
        }
        const auto parts = parseDottedQuad(text);
        if (!parts || !isPublicAddress(text) ||
            std::find(seen.begin(), seen.end(), *parts) != seen.end()) {
            continue;
        }
        seen.push_back(*parts);
        chosen.push_back(text);
    }
    std::reverse(chosen.begin(), chosen.end());
    return chosen;
}

bool anyListed(const std::vector<std::string>& addresses, DnsResolver& resolver, int zone,
               Clock::time_point deadline) {
    for (const std::string& address : addresses) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= std::chrono::milliseconds::zero()) {
            return false;
        }
        if (resolver.queryDnsbl(address, zone, left) > 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool isPublicAddress(const std::string& dottedQuad) {
    const auto parts = parseDottedQuad(dottedQuad);
    if (!parts) {
        return false;
    }
    const std::uint32_t value = address((*parts)[0], (*parts)[1], (*parts)[2], (*parts)[3]);
    for (const Block& block : kNotPublic) {
        const std::uint32_t mask = ~std::uint32_t{0} << (32 - block.prefixLength);
        if ((value & mask) == block.network) {
            return false;
        }
    }
    return true;
}

bool checkReceivedPath(const std::vector<std::string>& receivedIPs, DnsResolver& resolver,
                       std::chrono::milliseconds budget) {
    const Clock::time_point deadline = Clock::now() + budget;
    const std::vector<std::string> addresses = addressesToAsk(receivedIPs);
    if (resolver.spamhausEnabled() && anyListed(addresses, resolver, 0, deadline)) {
        return true;
    }
    if (resolver.spamcopEnabled() && anyListed(addresses, resolver, 1, deadline)) {
        return true;
    }
    return false;
}
