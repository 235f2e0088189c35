#include "rating/ReceivedPathCheck.h"

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

bool anyListed(const std::vector<std::string>& receivedIPs, DnsResolver& resolver, int zone) {
    for (auto it = receivedIPs.rbegin(); it != receivedIPs.rend(); ++it) {
        if (isPublicAddress(*it) && resolver.queryDnsbl(*it, zone) > 0) {
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

bool checkReceivedPath(const std::vector<std::string>& receivedIPs, DnsResolver& resolver) {
    if (resolver.spamhausEnabled() && anyListed(receivedIPs, resolver, 0)) {
        return true;
    }
    if (resolver.spamcopEnabled() && anyListed(receivedIPs, resolver, 1)) {
        return true;
    }
    return false;
}
