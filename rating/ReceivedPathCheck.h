#pragma once

#include <string>
#include <vector>

#include "rating/DnsResolver.h"

// True when `dottedQuad` is a valid address that a block list can know about:
// not private (10/8, 172.16/12, 192.168/16), loopback (127/8), link-local
// (169.254/16), "this network" (0/8), shared (100.64/10), protocol assignments
// (192.0.0/24), documentation (192.0.2/24, 198.51.100/24, 203.0.113/24),
// benchmarking (198.18/15), multicast (224/4) or reserved (240/4, broadcast).
bool isPublicAddress(const std::string& dottedQuad);

// Asks the enabled block lists about the addresses of a message's Received
// path, oldest hop first (the list is in header order, newest first), the first
// list through every address before the second. True at the first listing.
// Addresses no list can hold are taken as not listed without a query, so local
// relays cost no wait. A candidate with a trailing point ("1.2.3.4.") is the
// start of a longer dotted name, not an address, and is passed over too.
bool checkReceivedPath(const std::vector<std::string>& receivedIPs, DnsResolver& resolver);
