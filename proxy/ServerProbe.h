#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "platform/TlsStream.h"
#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"

// What "Test Connection" found: the proxy's own way of reaching the server
// (name lookup, connect, TLS or STLS as the settings say, the certificate
// check), up to the server's greeting, then QUIT.
struct ProbeReport {
    // A client session through the proxy could start: connected, secured as
    // asked, and the server greeted with "+OK".
    bool sessionCouldStart = false;
    std::string greeting;  // the server's first line, without CRLF
    // Set whenever a TLS handshake reached the certificate, trusted or not.
    std::optional<platform::CertificateReport> certificate;
    // When the session could not start: the plain sentence the proxy would
    // send the mail client after "-ERR [SYS/PERM] ", e.g. "Glimmerfen could
    // not verify the certificate of pop.example.com: self-signed certificate
    // (SHA-256 AB:CD:...)".
    std::string failure;
};

// Runs on the caller's thread for at most about `timeout`; a raised `stop`
// ends it early (failure then says it was stopped).
ProbeReport probeServer(const Pop3Settings& server, const ServerSecurity& security,
                        std::chrono::milliseconds timeout, const std::atomic<bool>& stop);
