#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/TcpSocket.h"

namespace platform {

// The outcome of a host-name lookup: an address, or the Windows socket code of
// why there is none (11001 "Host not found", 11002, 11003, 11004).
struct HostLookupResult {
    std::optional<Ipv4Address> address;
    int error = 0;
    bool stopped = false;  // given up because stop was raised; error is 0
};

// The first IPv4 address of a host name, as the system's resolver gives it. A
// dotted quad is taken as it stands. An empty name finds nothing.
//
// The system's resolver cannot be interrupted and may wait for a dead name
// server for tens of seconds, so with a stop flag the lookup runs on a thread
// of its own and is given up within a tenth of a second of stop going up; the
// abandoned lookup ends by itself later. Without one it runs on the caller.
HostLookupResult lookupHost(const std::string& name, const std::atomic<bool>* stop = nullptr);

// The same with another resolver in place of the system's (for tests).
using HostResolver = std::function<HostLookupResult(const std::string&)>;
HostLookupResult lookupHost(const std::string& name, const std::atomic<bool>& stop,
                            HostResolver resolver);

// "A.B.C.D" into its four numbers: exactly four groups of one to three decimal
// digits, each at most 255, nothing else.
std::optional<Ipv4Address> dottedToAddress(std::string_view text);
// The four numbers as "%d.%d.%d.%d".
std::string addressToDotted(const Ipv4Address& address);

}  // namespace platform
