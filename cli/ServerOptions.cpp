#include "cli/ServerOptions.h"

#include <charconv>

#include "cli/CliError.h"
#include "platform/HostLookup.h"

namespace commands {

namespace {

constexpr std::size_t kLongestServerName = 79;  // what the store keeps

}  // namespace

int portNumber(const std::string& option, const std::string& text, int lowest, int highest) {
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port < lowest ||
        port > highest) {
        throw UsageError(option + " takes a port number from " + std::to_string(lowest) + " to " +
                         std::to_string(highest) + ", not '" + text + "'");
    }
    return port;
}

std::string serverName(const std::string& text) {
    if (text.empty() || text.size() > kLongestServerName) {
        throw UsageError("a server name has 1 to 79 characters");
    }
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
            throw UsageError("a server name has no blanks or control characters");
        }
    }
    return text;
}

platform::Ipv4Address serverAddress(const std::string& text) {
    const std::optional<platform::Ipv4Address> address = platform::dottedToAddress(text);
    if (!address) {
        throw UsageError("not an IPv4 address: '" + text + "'");
    }
    return *address;
}

Security securityMode(const std::string& text) {
    const std::optional<Security> mode = parseSecurity(text);
    if (!mode) {
        throw UsageError("--security takes plain, starttls or tls, not '" + text + "'");
    }
    return *mode;
}

std::optional<platform::CertificateDigest> trustedCertificate(const std::string& text) {
    if (text == "none") {
        return std::nullopt;
    }
    const std::optional<platform::CertificateDigest> digest = platform::parseFingerprint(text);
    if (!digest) {
        throw UsageError(
            "--trust-certificate takes a SHA-256 fingerprint (64 hex digits, colons "
            "optional) or none, not '" +
            text + "'");
    }
    return digest;
}

ServerOptions ServerOptions::parse(const std::vector<std::string>& args, const std::string& usage) {
    if (args.size() % 2 != 0) {
        throw UsageError(usage);
    }
    ServerOptions options;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const std::string& option = args[i];
        const std::string& value = args[i + 1];
        if (option == "--server") {
            options.serverName = commands::serverName(value);
        } else if (option == "--server-ip") {
            options.serverAddress = commands::serverAddress(value);
        } else if (option == "--pop3-port") {
            options.pop3Port = portNumber(option, value, 1, kHighestPort);
        } else if (option == "--local-port") {
            options.localPort = portNumber(option, value, kLowestLocalPort, kHighestLocalPort);
        } else if (option == "--security") {
            options.mode = securityMode(value);
        } else if (option == "--trust-certificate") {
            options.pin = trustedCertificate(value);
        } else {
            throw UsageError(usage);
        }
    }
    if (options.serverName && options.serverAddress) {
        throw UsageError("give --server or --server-ip, not both");
    }
    return options;
}

void ServerOptions::applyTo(Pop3Settings& pop3, ServerSecurity& security) const {
    if (serverName) {
        pop3.useDomainName = true;
        pop3.serverName = *serverName;
    }
    if (serverAddress) {
        pop3.useDomainName = false;
        pop3.ip1 = (*serverAddress)[0];
        pop3.ip2 = (*serverAddress)[1];
        pop3.ip3 = (*serverAddress)[2];
        pop3.ip4 = (*serverAddress)[3];
    }
    if (pop3Port) {
        pop3.pop3Port = *pop3Port;
    } else if (mode) {
        pop3.pop3Port = portForSecurity(*mode, pop3.pop3Port);
    }
    pop3.localPort = localPort.value_or(pop3.localPort);
    security.mode = mode.value_or(security.mode);
    security.pin = pin.value_or(security.pin);
}

}  // namespace commands
