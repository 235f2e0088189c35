#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/ByteStream.h"
#include "platform/TcpSocket.h"
#include "platform/TlsStream.h"
#include "proxy/SlicedIo.h"
#include "store/Pop3Settings.h"
#include "store/ServerSecurity.h"

namespace proxy {

// Where the user's POP3 server is, and how the link to it is to be secured.
struct ServerTarget {
    Pop3Settings server;
    ServerSecurity security;
};

struct LinkTimeouts {
    // Connecting, and then the whole TLS handshake.
    std::chrono::milliseconds connect{10000};
    // Each reply the server owes before the handshake (greeting, CAPA, STLS).
    std::chrono::milliseconds io{60000};
    // The longest a stop waits to be seen.
    std::chrono::milliseconds slice{500};
};

// The proxy's link to the user's POP3 server, made as the settings say: name
// lookup, connect, then TLS from the first byte, or STLS after the greeting
// when the server offers it. Once open it is the byte stream the relay reads
// and writes, plaintext whatever travels on the wire. Both the relay and
// "Test Connection" open their links here, so the test shows what a session
// would meet.
class ServerLink : public platform::ByteStream {
  public:
    enum class Opened { Ready, Stopped, Failed };
    // The step that failed. In plain mode the relay logs each as it always has.
    enum class Step { Socket, Lookup, NonBlocking, Port, Connect, ConnectWait, Secure };
    struct Failure {
        Step step = Step::Secure;
        int code = 0;  // the socket code, for the socket steps
        // What went wrong, for the person: "Glimmerfen could not ...".
        std::string sentence;
    };

    ServerLink(const std::atomic<bool>& stop, const LinkTimeouts& timeouts);
    ~ServerLink() override;
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // In plain mode a connection still being made when the connect time-out
    // passes (or a stop comes) counts as open, and the first read finds out;
    // a secured link is open only once the certificate was accepted.
    Opened open(const ServerTarget& target);

    // STLS: the server's greeting with its CR LF, read before the handshake
    // and owed to the client. Empty in the other modes.
    const std::string& greeting() const { return m_greeting; }
    // What the handshake showed of the certificate, accepted or not.
    const std::optional<platform::CertificateReport>& certificate() const { return m_certificate; }
    const Failure& failure() const { return m_failure; }
    bool secured() const { return m_tls != nullptr; }

    Result readSome(std::span<char> buffer, std::chrono::milliseconds slice) override;
    Result writeSome(std::span<const char> bytes, std::chrono::milliseconds slice) override;
    void shutdownBoth() override;
    void close() override;
    int lastError() const override;

  private:
    Opened connect(const Pop3Settings& server, bool plain);
    Opened connectTo(const platform::Ipv4Address& address, int port, bool plain);
    Opened startTls();
    Opened handshake(const ServerSecurity& security);
    Opened untrusted();
    template <typename Reply>
    Opened readReply(Reply& reply, const char* what);
    Opened sendCommand(std::string_view command);
    Opened socketFailure(Step step, int code, const std::string& doing);
    Opened secureFailure(const std::string& reason);
    platform::ByteStream& active();
    std::string seconds(std::chrono::milliseconds time) const;

    const std::atomic<bool>& m_stop;
    const LinkTimeouts m_timeouts;
    SlicedIo m_io;
    std::string m_host;
    int m_port = 0;
    platform::TcpSocket m_socket;
    // Declared after the socket it runs over, so it goes first.
    std::unique_ptr<platform::TlsStream> m_tls;
    std::string m_greeting;
    std::optional<platform::CertificateReport> m_certificate;
    Failure m_failure;
};

}  // namespace proxy
