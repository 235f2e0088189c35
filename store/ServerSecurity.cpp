#include "store/ServerSecurity.h"

namespace {

constexpr int kPlainPort = 110;
constexpr int kTlsPort = 995;

}  // namespace

std::string_view securityName(Security security) {
    switch (security) {
        case Security::Plain:
            return "plain";
        case Security::StartTls:
            return "starttls";
        case Security::Tls:
            break;
    }
    return "tls";
}

std::optional<Security> parseSecurity(std::string_view word) {
    for (const Security security : {Security::Plain, Security::StartTls, Security::Tls}) {
        if (word == securityName(security)) {
            return security;
        }
    }
    return std::nullopt;
}

std::string_view securityLabel(Security security) {
    switch (security) {
        case Security::Plain:
            return "None";
        case Security::StartTls:
            return "STARTTLS";
        case Security::Tls:
            break;
    }
    return "SSL/TLS";
}

int portForSecurity(Security security, int currentPort) {
    // STLS runs on the plain port, so only implicit TLS has a port of its own.
    if (security == Security::Tls && currentPort == kPlainPort) {
        return kTlsPort;
    }
    if (security != Security::Tls && currentPort == kTlsPort) {
        return kPlainPort;
    }
    return currentPort;
}
