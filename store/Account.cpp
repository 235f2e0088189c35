#include "store/Account.h"

#include "platform/HostLookup.h"

std::string serverText(const Pop3Settings& pop3) {
    const std::string host =
        pop3.useDomainName ? pop3.serverName
                           : platform::addressToDotted({pop3.ip1, pop3.ip2, pop3.ip3, pop3.ip4});
    return host + ":" + std::to_string(pop3.pop3Port);
}
