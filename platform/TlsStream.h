#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/ByteStream.h"
#include "platform/TcpSocket.h"

namespace platform {

// SHA-256 of a certificate's DER bytes.
using CertificateDigest = std::array<std::uint8_t, 32>;

// "AB:CD:…": upper-case hex pairs joined by colons, as certificate dialogs
// show a fingerprint.
std::string fingerprintText(const CertificateDigest& digest);
// Hex text with or without colons (either case) back into a digest; nullopt
// unless it holds exactly 32 bytes and nothing else.
std::optional<CertificateDigest> parseFingerprint(const std::string& text);

// Whom the client expects at the other end.
struct TlsPeer {
    // The server as the user named it: a host name (checked against the
    // certificate's DNS names, and sent as SNI) or a dotted IPv4 address
    // (checked against the certificate's IP addresses, no SNI).
    std::string name;
    // A certificate the user accepted after seeing it. When set, the presented
    // certificate must have this digest, and then chain and name errors are
    // accepted, as a mail client's certificate exception does.
    std::optional<CertificateDigest> pin;
};

// What the handshake learnt of the server's certificate, for the person who
// decides whether to trust it.
struct CertificateReport {
    std::string protocol;  // "TLSv1.3"
    std::string subject;   // one line, e.g. "CN = pop.example.com"
    std::string issuer;
    std::string notBefore;  // "Jan  1 00:00:00 2026 GMT"
    std::string notAfter;
    CertificateDigest digest{};
    bool verified = false;      // chain and name check passed, or the pin matched
    bool pinMatched = false;
    std::string verifyError;    // why not verified, in OpenSSL's words; empty when verified
};

// A TLS client session over a connected TCP socket, through OpenSSL with the
// system's trust store (its default paths, so SSL_CERT_FILE and SSL_CERT_DIR
// work as for every OpenSSL program) and TLS 1.2 or later. The socket stays
// owned by the caller and must outlive the stream; it must be non-blocking.
class TlsStream : public ByteStream {
  public:
    enum class Step {
        Done,      // handshake complete and the peer accepted (verified or pinned)
        Pending,   // the slice passed; call again
        Closed,    // the server closed during the handshake
        Failed,    // the handshake failed (protocol, version, socket); failureText() says why
        Untrusted  // complete, but the certificate was not accepted; report() says why
    };

    explicit TlsStream(TcpSocket& socket);
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Sets up the session for `peer`. False (failureText() says why) when
    // OpenSSL cannot be set up at all.
    bool start(const TlsPeer& peer);
    // Moves the handshake on, waiting at most `slice` on the socket in the
    // direction OpenSSL asks for. Call until it answers anything but Pending.
    Step handshake(std::chrono::milliseconds slice);
    // After the handshake reached the certificate: what it showed.
    const CertificateReport& report() const;
    // A plain sentence for a failed handshake, e.g. "the server closed the
    // connection during the TLS handshake" or OpenSSL's reason.
    const std::string& failureText() const;

    // ByteStream: transfers of plaintext. A close_notify, or the socket
    // closing without one, reads as Closed.
    Result readSome(std::span<char> buffer, std::chrono::milliseconds slice) override;
    Result writeSome(std::span<const char> bytes, std::chrono::milliseconds slice) override;
    // Sends close_notify if the session is up (without waiting for the
    // peer's), then shuts the socket down.
    void shutdownBoth() override;
    void close() override;
    int lastError() const override;

  private:
    struct Session;
    TcpSocket& m_socket;
    std::unique_ptr<Session> m_session;
};

}  // namespace platform
