#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/TlsStream.h"

// How the proxy talks to the user's POP3 server. The link from the mail
// client to the proxy stays plain and on 127.0.0.1 whatever this says.
enum class Security {
    Plain,     // no TLS
    StartTls,  // connect, read the greeting, CAPA, then STLS only if offered
    Tls        // TLS from the first byte (usually port 995)
};

// "plain", "starttls", "tls": the words of the settings file and the CLI.
std::string_view securityName(Security security);
std::optional<Security> parseSecurity(std::string_view word);
// What the window shows: "None", "STARTTLS", "SSL/TLS".
std::string_view securityLabel(Security security);

// The port that goes with a mode when the user switches it and had the other
// mode's usual port: 110 <-> 995. Any other port is kept.
int portForSecurity(Security security, int currentPort);

struct ServerSecurity {
    Security mode = Security::Plain;
    // The server certificate the user chose to trust (see TlsPeer::pin).
    std::optional<platform::CertificateDigest> pin;

    bool operator==(const ServerSecurity&) const = default;
};
