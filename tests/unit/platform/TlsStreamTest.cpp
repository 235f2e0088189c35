// The TLS stream against an OpenSSL server on a thread of the test, with a
// certificate made here: what is trusted, what is refused, and that bytes
// cross unchanged.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/TlsStream.h"
#include "support/TempDirectory.h"

using namespace std::chrono_literals;
using platform::ByteStream;
using platform::TcpSocket;
using platform::TlsStream;

namespace {

// Every wait of the test ends by itself: no step may take longer than this.
constexpr auto kSlice = 100ms;
constexpr int kMostSlices = 100;

struct Credentials {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
    std::unique_ptr<X509, decltype(&X509_free)> certificate{nullptr, X509_free};
    platform::CertificateDigest digest{};
};

// A self-signed certificate for "localhost" and 127.0.0.1.
Credentials makeCredentials() {
    Credentials made;
    made.key.reset(EVP_EC_gen("P-256"));
    made.certificate.reset(X509_new());
    X509* cert = made.certificate.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX context;
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"},
                                     std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_set_pubkey(cert, made.key.get());
    X509_sign(cert, made.key.get(), EVP_sha256());
    unsigned int length = 0;
    X509_digest(cert, EVP_sha256(), made.digest.data(), &length);
    return made;
}

enum class Behaviour {
    Echo,              // handshake, echo `echoBytes`, then close_notify
    CloseInHandshake,  // read the client's hello, then close
    Silent,            // accept and say nothing until the client goes
};

// One connection on a loopback port, served on its own thread with blocking
// OpenSSL calls; socket time-outs keep every call of it bounded.
class TestServer {
  public:
    TestServer(const Credentials& credentials, Behaviour behaviour, std::size_t echoBytes = 0)
        : m_listener(::socket(AF_INET, SOCK_STREAM, 0)) {
        // The server's plain socket writes would raise SIGPIPE once the client
        // has gone; the stream under test never does.
        std::signal(SIGPIPE, SIG_IGN);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(m_listener, 1), 0);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, &credentials, behaviour, echoBytes] {
            serve(credentials, behaviour, echoBytes);
        });
    }
    ~TestServer() {
        m_thread.join();
        ::close(m_listener);
    }
    std::uint16_t port() const { return m_port; }

  private:
    void serve(const Credentials& credentials, Behaviour behaviour, std::size_t echoBytes) {
        const int fd = ::accept(m_listener, nullptr, nullptr);
        const timeval patience{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
        if (behaviour == Behaviour::CloseInHandshake) {
            char hello[64];
            ::recv(fd, hello, sizeof hello, 0);
        } else if (behaviour == Behaviour::Silent) {
            char rest[4096];
            while (::recv(fd, rest, sizeof rest, 0) > 0) {
            }
        } else {
            echo(credentials, fd, echoBytes);
        }
        ::close(fd);
    }

    static void echo(const Credentials& credentials, int fd, std::size_t echoBytes) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context, credentials.certificate.get());
        SSL_CTX_use_PrivateKey(context, credentials.key.get());
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            char buffer[8192];
            std::size_t echoed = 0;
            std::size_t got = 0;
            while (echoed < echoBytes && SSL_read_ex(ssl, buffer, sizeof buffer, &got) == 1) {
                std::size_t written = 0;
                if (SSL_write_ex(ssl, buffer, got, &written) != 1) {
                    break;
                }
                echoed += got;
            }
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        SSL_CTX_free(context);
    }

    int m_listener;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

TcpSocket connectedTo(std::uint16_t port) {
    TcpSocket socket;
    EXPECT_TRUE(socket.open());
    EXPECT_TRUE(socket.setNonBlocking());
    if (socket.connectStart({127, 0, 0, 1}, port) == TcpSocket::Connect::InProgress) {
        EXPECT_EQ(socket.waitWritable(5s), TcpSocket::Wait::Ready);
        EXPECT_EQ(socket.connectResult(), 0);
    }
    return socket;
}

TlsStream::Step handshakeOf(TlsStream& stream, const platform::TlsPeer& peer) {
    if (!stream.start(peer)) {
        return TlsStream::Step::Failed;
    }
    TlsStream::Step step = TlsStream::Step::Pending;
    for (int n = 0; n < kMostSlices && step == TlsStream::Step::Pending; ++n) {
        step = stream.handshake(kSlice);
    }
    return step;
}

// Sends `bytes` to the echo server while reading back what it returns,
// alternating in short slices so that neither side's buffers can fill up.
std::string echoed(TlsStream& stream, const std::string& bytes) {
    std::string back;
    std::size_t sent = 0;
    char buffer[5000];
    for (int n = 0; n < 100000 && back.size() < bytes.size(); ++n) {
        if (sent < bytes.size()) {
            const auto wrote = stream.writeSome(std::span<const char>(bytes).subspan(sent), 10ms);
            EXPECT_TRUE(wrote.status == ByteStream::Status::Done ||
                        wrote.status == ByteStream::Status::Idle);
            sent += wrote.count;
        }
        const auto read = stream.readSome(buffer, 10ms);
        if (read.status != ByteStream::Status::Done && read.status != ByteStream::Status::Idle) {
            ADD_FAILURE() << "read ended with status " << static_cast<int>(read.status);
            break;
        }
        back.append(buffer, read.count);
    }
    return back;
}

class TlsStreamTest : public ::testing::Test {
  protected:
    Credentials m_credentials = makeCredentials();
};

TEST_F(TlsStreamTest, UnknownCertificateWithoutPinIsUntrustedAndReported) {
    TestServer server(m_credentials, Behaviour::Echo);
    TcpSocket socket = connectedTo(server.port());
    TlsStream stream(socket);
    EXPECT_EQ(handshakeOf(stream, {"localhost", std::nullopt}), TlsStream::Step::Untrusted);
    const platform::CertificateReport& report = stream.report();
    EXPECT_FALSE(report.verified);
    EXPECT_EQ(report.verifyError, "self-signed certificate");
    EXPECT_EQ(report.subject, "CN = localhost");
    EXPECT_EQ(report.issuer, "CN = localhost");
    EXPECT_EQ(report.protocol, "TLSv1.3");
    EXPECT_EQ(report.digest, m_credentials.digest);
    EXPECT_NE(report.notAfter.find("GMT"), std::string::npos);
    // Nothing may travel over a session whose certificate was refused.
    char byte = 'x';
    EXPECT_NE(stream.writeSome(std::span<const char>(&byte, 1), kSlice).status,
              ByteStream::Status::Done);
    stream.shutdownBoth();
}

TEST_F(TlsStreamTest, MatchingPinIsAcceptedAndBytesCrossUnchangedUntilCloseNotify) {
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 7919) >> 3);
    }
    TestServer server(m_credentials, Behaviour::Echo, bytes.size());
    TcpSocket socket = connectedTo(server.port());
    TlsStream stream(socket);
    ASSERT_EQ(handshakeOf(stream, {"localhost", m_credentials.digest}), TlsStream::Step::Done);
    EXPECT_TRUE(stream.report().verified);
    EXPECT_TRUE(stream.report().pinMatched);
    EXPECT_TRUE(stream.report().verifyError.empty());
    EXPECT_EQ(echoed(stream, bytes), bytes);

    char buffer[100];
    ByteStream::Result last;
    for (int n = 0; n < kMostSlices && last.status != ByteStream::Status::Closed; ++n) {
        last = stream.readSome(buffer, kSlice);
        ASSERT_NE(last.status, ByteStream::Status::Done);
    }
    EXPECT_EQ(last.status, ByteStream::Status::Closed);
    stream.shutdownBoth();
    stream.close();
}

TEST_F(TlsStreamTest, AnotherPinIsUntrusted) {
    TestServer server(m_credentials, Behaviour::Echo);
    TcpSocket socket = connectedTo(server.port());
    TlsStream stream(socket);
    platform::CertificateDigest other = m_credentials.digest;
    other[31] ^= 1;
    EXPECT_EQ(handshakeOf(stream, {"localhost", other}), TlsStream::Step::Untrusted);
    EXPECT_FALSE(stream.report().pinMatched);
    EXPECT_FALSE(stream.report().verified);
    EXPECT_FALSE(stream.report().verifyError.empty());
    stream.shutdownBoth();
}

// With the certificate in the trust store, the name the user gave decides:
// a host name against its DNS entries, an address against its IP entries.
TEST_F(TlsStreamTest, TrustedCertificateIsCheckedAgainstTheServerName) {
    TempDirectory directory;
    FILE* file = std::fopen("ca.pem", "w");
    ASSERT_NE(file, nullptr);
    PEM_write_X509(file, m_credentials.certificate.get());
    std::fclose(file);
    ::setenv("SSL_CERT_FILE", (directory.path() + "/ca.pem").c_str(), 1);
    for (const auto& [name, expected] :
         {std::pair{"localhost", TlsStream::Step::Done},
          std::pair{"127.0.0.1", TlsStream::Step::Done},
          std::pair{"pop.example.com", TlsStream::Step::Untrusted}}) {
        TestServer server(m_credentials, Behaviour::Echo);
        TcpSocket socket = connectedTo(server.port());
        TlsStream stream(socket);
        EXPECT_EQ(handshakeOf(stream, {name, std::nullopt}), expected) << name;
        if (expected == TlsStream::Step::Untrusted) {
            EXPECT_EQ(stream.report().verifyError, "hostname mismatch");
        }
        stream.shutdownBoth();
    }
    ::unsetenv("SSL_CERT_FILE");
}

TEST_F(TlsStreamTest, ServerClosingInTheHandshakeEndsIt) {
    TestServer server(m_credentials, Behaviour::CloseInHandshake);
    TcpSocket socket = connectedTo(server.port());
    TlsStream stream(socket);
    const TlsStream::Step step = handshakeOf(stream, {"localhost", m_credentials.digest});
    EXPECT_TRUE(step == TlsStream::Step::Closed || step == TlsStream::Step::Failed);
    EXPECT_FALSE(stream.failureText().empty());
}

TEST_F(TlsStreamTest, SilentServerLeavesTheHandshakePendingSliceAfterSlice) {
    TestServer server(m_credentials, Behaviour::Silent);
    TcpSocket socket = connectedTo(server.port());
    TlsStream stream(socket);
    ASSERT_TRUE(stream.start({"localhost", m_credentials.digest}));
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(stream.handshake(20ms), TlsStream::Step::Pending);
    }
    stream.close();
}

TEST(FingerprintTest, TextIsUpperCasePairsAndParsesBackWithOrWithoutColons) {
    platform::CertificateDigest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>(i * 8 + 10);
    }
    const std::string text = platform::fingerprintText(digest);
    EXPECT_EQ(text.substr(0, 12), "0A:12:1A:22:");
    EXPECT_EQ(text.size(), 32u * 3 - 1);
    EXPECT_EQ(platform::parseFingerprint(text), digest);
    std::string bare;
    for (char c : text) {
        if (c != ':') {
            bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    EXPECT_EQ(platform::parseFingerprint(bare), digest);

    for (const std::string& bad :
         {std::string(), text.substr(0, text.size() - 3), text + ":00", text + ":", ":" + text,
          " " + text, bare.substr(1) + "g", text.substr(0, 3) + ":" + text.substr(3)}) {
        EXPECT_FALSE(platform::parseFingerprint(bad)) << bad;
    }
}

}  // namespace
