#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "rating/DnsResolver.h"

// True when `dottedQuad` is a valid address that a block list can know about:
// not private (10/8, 172.16/12, 192.168/16), loopback (127/8), link-local
// (169.254/16), "this network" (0/8), shared (100.64/10), protocol assignments
// (192.0.0/24), documentation (192.0.2/24, 198.51.100/24, 203.0.113/24),
// benchmarking (198.18/15), multicast (224/4) or reserved (240/4, broadcast).
bool isPublicAddress(const std::string& dottedQuad);

// One message must not hold the proxy's session for long whatever its header
// holds: at most this many distinct addresses are asked about...
constexpr std::size_t kMaxCheckedAddresses = 8;
// ...and all the queries of one message end within this time; what is not
// answered by then counts as not listed.
constexpr std::chrono::milliseconds kReceivedPathBudget = std::chrono::seconds(10);

// Asks the enabled block lists about the addresses of a message's Received
// path, oldest hop first (the list is in header order, newest first), the first
// list through every address before the second. True at the first listing.
// Addresses no list can hold are taken as not listed without a query, so local
// relays cost no wait. A candidate with a trailing point ("1.2.3.4.") is the
// start of a longer dotted name, not an address, and is passed over too.
// Each distinct address is asked about once a list. Of a longer path only the
// kMaxCheckedAddresses newest addresses are asked about: the hops nearest the
// user's own server are the ones a sender cannot forge. Once `budget` has run
// out no further query starts and the path counts as not listed.
bool checkReceivedPath(const std::vector<std::string>& receivedIPs, DnsResolver& resolver,
                       std::chrono::milliseconds budget = kReceivedPathBudget);
