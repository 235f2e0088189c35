#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/TcpSocket.h"
#include "platform/TlsStream.h"
#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"

// The values that name a POP3 server on the command line, checked as they are
// read so that a bad one is refused before anything is opened. Each parser
// throws UsageError with the sentence the user sees.
namespace commands {

int portNumber(const std::string& option, const std::string& text, int lowest, int highest);
// A host name as the store keeps it: 1 to 79 characters, no blanks.
std::string serverName(const std::string& text);
platform::Ipv4Address serverAddress(const std::string& text);
Security securityMode(const std::string& text);
// nullopt for "none": no certificate is trusted beyond the system's.
std::optional<platform::CertificateDigest> trustedCertificate(const std::string& text);

// "--server NAME | --server-ip A.B.C.D", "--pop3-port N", "--local-port N",
// "--security MODE", "--trust-certificate SHA256|none": what was given, each
// optional.
struct ServerOptions {
    std::optional<std::string> serverName;
    std::optional<platform::Ipv4Address> serverAddress;
    std::optional<int> pop3Port;
    std::optional<int> localPort;
    std::optional<Security> mode;
    std::optional<std::optional<platform::CertificateDigest>> pin;

    // Reads option-value pairs; anything else is a UsageError carrying `usage`.
    static ServerOptions parse(const std::vector<std::string>& args, const std::string& usage);

    // Puts what was given into `pop3` and `security`. A new mode without a
    // port moves the old mode's usual port to the new one's, as the window does.
    void applyTo(Pop3Settings& pop3, ServerSecurity& security) const;
};

}  // namespace commands
