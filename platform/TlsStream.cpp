#include "platform/TlsStream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>

#include "platform/HostLookup.h"
#include "platform/SocketError.h"

namespace platform {

namespace {

using std::chrono::milliseconds;

constexpr int kWouldBlock = 10035;
constexpr int kNotSocket = 10038;
// What a transfer reports when TLS itself failed (a bad record, a fatal alert):
// the connection is no use any more, as after an abort.
constexpr int kTlsAborted = 10053;
// A slice may see a record arrive in many small pieces; after this many waits
// without a whole record the slice reports Idle and the caller looks at its stop
// flag, so a trickling peer cannot hold a transfer past its slices.
constexpr int kWaitsPerSlice = 256;
// Certificate texts are shown to a person and written to the log; a hostile
// certificate may carry names of any length.
constexpr std::size_t kLongestCertificateText = 1024;
constexpr const char* kPinMismatch = "certificate does not match the trusted fingerprint";

struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(X509* certificate) const { X509_free(certificate); }
};
template <typename T>
using SslPointer = std::unique_ptr<T, SslDeleter>;

// What the socket BIO saw, so an ending can be told apart: the peer's orderly
// close, or a socket failure with its code.
struct SocketState {
    TcpSocket* socket = nullptr;
    bool sawEnd = false;
    int failure = 0;
};

int socketRead(BIO* bio, char* buffer, int size) {
    auto* state = static_cast<SocketState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int received =
        state->socket->receive(std::span<char>(buffer, static_cast<std::size_t>(size)));
    if (received == 0) {
        state->sawEnd = true;
    } else if (received < 0 && state->socket->lastError() == kWouldBlock) {
        BIO_set_retry_read(bio);
    } else if (received < 0) {
        state->failure = state->socket->lastError();
    }
    return received;
}

int socketWrite(BIO* bio, const char* bytes, int size) {
    auto* state = static_cast<SocketState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int sent =
        state->socket->send(std::span<const char>(bytes, static_cast<std::size_t>(size)));
    if (sent < 0 && state->socket->lastError() == kWouldBlock) {
        BIO_set_retry_write(bio);
    } else if (sent < 0) {
        state->failure = state->socket->lastError();
    }
    return sent;
}

long socketControl(BIO*, int command, long, void*) {
    // Writes go straight to the socket, so there is never anything to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

// The TCP socket as OpenSSL's transport: its reads and writes go through
// TcpSocket, which keeps the Windows codes of its failures and never raises
// SIGPIPE. Made once for the process; OpenSSL only reads it afterwards.
const BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "glimmerfen socket");
        if (made != nullptr) {
            BIO_meth_set_read(made, socketRead);
            BIO_meth_set_write(made, socketWrite);
            BIO_meth_set_ctrl(made, socketControl);
        }
        return made;
    }();
    return method;
}

std::string openSslReason() {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = ERR_reason_error_string(error);
    return reason != nullptr ? reason : "unknown TLS error";
}

// A sentence for a handshake that failed, from the socket's code or from
// what OpenSSL left on this thread's error queue.
std::string handshakeFailureText(bool socketFailed, int socketError) {
    const unsigned long error = ERR_peek_last_error();
    if (socketFailed || error == 0) {
        return "the connection failed during the TLS handshake (" + socketErrorText(socketError) +
               ")";
    }
    const int reason = ERR_GET_REASON(error);
    if (reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION || reason == SSL_R_UNSUPPORTED_PROTOCOL) {
        return "the server offers no TLS version from 1.2 on (" + openSslReason() + ")";
    }
    if (reason == SSL_R_WRONG_VERSION_NUMBER) {
        return "the server did not answer in TLS (wrong version number): is the port the one "
               "for this security mode?";
    }
    return "the TLS handshake failed: " + openSslReason();
}

std::string bounded(std::string text) {
    if (text.size() > kLongestCertificateText) {
        text.resize(kLongestCertificateText);
        text += "...";
    }
    return text;
}

std::string memoryText(BIO* memory) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory, &data);
    return size > 0 ? bounded(std::string(data, static_cast<std::size_t>(size))) : "";
}

std::string nameText(const X509_NAME* name) {
    SslPointer<BIO> memory(BIO_new(BIO_s_mem()));
    if (!memory || name == nullptr) {
        return "";
    }
    // One line, control and non-ASCII bytes escaped: safe for a log line.
    X509_NAME_print_ex(memory.get(), name, 0, XN_FLAG_ONELINE);
    return memoryText(memory.get());
}

std::string timeText(const ASN1_TIME* time) {
    SslPointer<BIO> memory(BIO_new(BIO_s_mem()));
    if (!memory || time == nullptr || ASN1_TIME_print(memory.get(), time) != 1) {
        return "";
    }
    return memoryText(memory.get());
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Records why the chain or the name failed, and lets the handshake go on so
// that the person can still be shown the certificate; the decision is made
// once the handshake is complete.
int keepGoingAfterVerifyError(int preverifyOk, X509_STORE_CTX* store) {
    if (preverifyOk == 0) {
        SSL* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* firstError = ssl != nullptr ? static_cast<int*>(SSL_get_app_data(ssl)) : nullptr;
        if (firstError != nullptr && *firstError == X509_V_OK) {
            *firstError = X509_STORE_CTX_get_error(store);
        }
    }
    return 1;
}

}  // namespace

std::string fingerprintText(const CertificateDigest& digest) {
    std::string text;
    text.reserve(digest.size() * 3);
    for (std::size_t i = 0; i < digest.size(); ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(digest[i]));
        text += (i == 0 ? "" : ":");
        text += pair;
    }
    return text;
}

std::optional<CertificateDigest> parseFingerprint(const std::string& text) {
    CertificateDigest digest{};
    std::size_t at = 0;
    for (std::size_t byte = 0; byte < digest.size(); ++byte) {
        // One colon may stand between two pairs, never before the first.
        if (byte > 0 && at < text.size() && text[at] == ':') {
            ++at;
        }
        if (at + 2 > text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[at]);
        const int low = hexValue(text[at + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[byte] = static_cast<std::uint8_t>(high * 16 + low);
        at += 2;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    return digest;
}

struct TlsStream::Session {
    SslPointer<SSL_CTX> context;
    SslPointer<SSL> ssl;
    SocketState socket;
    std::optional<CertificateDigest> pin;
    int firstVerifyError = X509_V_OK;
    CertificateReport report;
    std::string failureText;
    bool usable = false;  // the handshake ended Done
    int lastError = 0;

    // How one OpenSSL call (with its waits) ended. Again: the slice passed.
    enum class Outcome { Done, Again, Closed, TransferFailed, WaitFailed };
    Outcome outcome(int sslError);
    bool setUp(const TlsPeer& peer);
    bool checkPeer(const std::string& name);
    Step finishHandshake();
    template <typename Operation>
    Outcome run(milliseconds slice, Operation operation);
    // A read or a write of plaintext: `call(ssl, &count)` is SSL_read_ex or
    // SSL_write_ex on the caller's buffer of `size` bytes.
    template <typename Call>
    Result transfer(std::size_t size, milliseconds slice, Call call);
};

// Sorts what SSL_get_error said of a call that did not succeed.
TlsStream::Session::Outcome TlsStream::Session::outcome(int sslError) {
    switch (sslError) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return Outcome::Again;
        case SSL_ERROR_ZERO_RETURN:
            return Outcome::Closed;
        case SSL_ERROR_SSL:
            // A peer that drops the connection without close_notify ends the
            // stream as a plain TCP close would; POP3 has its own terminator.
            if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                return Outcome::Closed;
            }
            lastError = socket.failure != 0 ? socket.failure : kTlsAborted;
            return Outcome::TransferFailed;
        default:
            if (socket.failure == 0 && socket.sawEnd) {
                return Outcome::Closed;
            }
            lastError = socket.failure != 0 ? socket.failure : kTlsAborted;
            return Outcome::TransferFailed;
    }
}

// Runs `operation` (an SSL call answering 1 or <= 0) until it is done, fails,
// or the slice has passed, waiting on the socket in whichever direction
// OpenSSL asks for. Buffered plaintext is taken before any wait, since the
// call is always tried first.
template <typename Operation>
TlsStream::Session::Outcome TlsStream::Session::run(milliseconds slice, Operation operation) {
    // The slice starts at the first wait: most calls find plaintext buffered
    // and never wait, and need no clock.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    for (int round = 0; round < kWaitsPerSlice; ++round) {
        // Clearing an empty error queue still walks all of it, once per
        // 100-byte piece of a relay.
        if (ERR_peek_error() != 0) {
            ERR_clear_error();
        }
        socket.sawEnd = false;
        socket.failure = 0;
        const int result = operation();
        if (result == 1) {
            return Outcome::Done;
        }
        const int sslError = SSL_get_error(ssl.get(), result);
        const Outcome sorted = outcome(sslError);
        if (sorted != Outcome::Again) {
            return sorted;
        }
        const bool wantsWrite = sslError == SSL_ERROR_WANT_WRITE;
        if (!deadline) {
            deadline = std::chrono::steady_clock::now() + slice;
        }
        const auto left =
            std::max(milliseconds(0),
                     std::chrono::ceil<milliseconds>(*deadline - std::chrono::steady_clock::now()));
        TcpSocket& tcp = *socket.socket;
        const TcpSocket::Wait wait = wantsWrite ? tcp.waitWritable(left) : tcp.waitReadable(left);
        if (wait == TcpSocket::Wait::Failed) {
            lastError = tcp.lastError();
            return Outcome::WaitFailed;
        }
        // A ready socket is always tried once more, even when the slice is
        // used up, so a zero slice still moves what has arrived.
        if (wait == TcpSocket::Wait::TimedOut) {
            break;
        }
    }
    return Outcome::Again;
}

template <typename Call>
ByteStream::Result TlsStream::Session::transfer(std::size_t size, milliseconds slice, Call call) {
    // Nothing crosses a session whose certificate was refused, or one that
    // has been shut down.
    if (!usable || !ssl) {
        lastError = kNotSocket;
        return {Status::WaitFailed, 0};
    }
    if (size == 0) {
        return {Status::Idle, 0};
    }
    std::size_t count = 0;
    switch (run(slice, [&] { return call(ssl.get(), &count); })) {
        case Outcome::Done:
            return {Status::Done, count};
        case Outcome::Again:
            return {Status::Idle, 0};
        case Outcome::Closed:
            return {Status::Closed, 0};
        case Outcome::WaitFailed:
            return {Status::WaitFailed, 0};
        case Outcome::TransferFailed:
            break;
    }
    return {Status::TransferFailed, 0};
}

bool TlsStream::Session::checkPeer(const std::string& name) {
    X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl.get());
    if (dottedToAddress(name)) {
        // RFC 6066 forbids an address as SNI; the address is matched against
        // the certificate's IP entries instead.
        return X509_VERIFY_PARAM_set1_ip_asc(parameters, name.c_str()) == 1;
    }
    X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set_tlsext_host_name(ssl.get(), name.c_str()) == 1 &&
           X509_VERIFY_PARAM_set1_host(parameters, name.c_str(), name.size()) == 1;
}

bool TlsStream::Session::setUp(const TlsPeer& peer) {
    if (peer.name.empty()) {
        failureText = "no server name to check the certificate against";
        return false;
    }
    context.reset(SSL_CTX_new(TLS_client_method()));
    const BIO_METHOD* method = socketMethod();
    if (!context || method == nullptr ||
        SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1) {
        failureText = "TLS could not be set up: " + openSslReason();
        return false;
    }
    // A missing system store is no reason to fail here: a pin still works
    // without it, and without a pin the verification says what is missing.
    SSL_CTX_set_default_verify_paths(context.get());
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, keepGoingAfterVerifyError);
    // The relay offers the rest of its buffer again after a partial write.
    SSL_CTX_set_mode(context.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    ssl.reset(SSL_new(context.get()));
    BIO* bio = ssl ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        failureText = "TLS could not be set up: " + openSslReason();
        ssl.reset();
        return false;
    }
    BIO_set_data(bio, &socket);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl.get(), bio, bio);
    // Whole socket reads rather than a header and then a body per record.
    SSL_set_read_ahead(ssl.get(), 1);
    SSL_set_app_data(ssl.get(), &firstVerifyError);
    SSL_set_connect_state(ssl.get());
    pin = peer.pin;
    if (!checkPeer(peer.name)) {
        failureText = "the server name " + peer.name + " cannot be checked: " + openSslReason();
        // No handshake may run without the name check.
        ssl.reset();
        return false;
    }
    return true;
}

TlsStream::Step TlsStream::Session::finishHandshake() {
    report.protocol = SSL_get_version(ssl.get());
    const SslPointer<X509> certificate(SSL_get1_peer_certificate(ssl.get()));
    if (!certificate) {
        report.verifyError = "the server presented no certificate";
        return Step::Untrusted;
    }
    report.subject = nameText(X509_get_subject_name(certificate.get()));
    report.issuer = nameText(X509_get_issuer_name(certificate.get()));
    report.notBefore = timeText(X509_get0_notBefore(certificate.get()));
    report.notAfter = timeText(X509_get0_notAfter(certificate.get()));
    unsigned int length = 0;
    if (X509_digest(certificate.get(), EVP_sha256(), report.digest.data(), &length) != 1 ||
        length != report.digest.size()) {
        report.verifyError = "the certificate's fingerprint cannot be computed";
        return Step::Untrusted;
    }
    long error = firstVerifyError;
    if (error == X509_V_OK) {
        error = SSL_get_verify_result(ssl.get());
    }
    if (pin) {
        report.pinMatched = *pin == report.digest;
        report.verified = report.pinMatched;
        report.verifyError = report.pinMatched ? "" : kPinMismatch;
    } else {
        report.verified = error == X509_V_OK;
        report.verifyError = report.verified ? "" : X509_verify_cert_error_string(error);
    }
    usable = report.verified;
    return usable ? Step::Done : Step::Untrusted;
}

TlsStream::TlsStream(TcpSocket& socket) : m_socket(socket), m_session(std::make_unique<Session>()) {
    m_session->socket.socket = &m_socket;
}

TlsStream::~TlsStream() = default;

bool TlsStream::start(const TlsPeer& peer) {
    m_session = std::make_unique<Session>();
    m_session->socket.socket = &m_socket;
    return m_session->setUp(peer);
}

TlsStream::Step TlsStream::handshake(milliseconds slice) {
    Session& session = *m_session;
    if (!session.ssl) {
        if (session.failureText.empty()) {
            session.failureText = "the TLS session was not set up";
        }
        return Step::Failed;
    }
    const Session::Outcome outcome =
        session.run(slice, [&] { return SSL_do_handshake(session.ssl.get()); });
    switch (outcome) {
        case Session::Outcome::Done:
            return session.finishHandshake();
        case Session::Outcome::Again:
            return Step::Pending;
        case Session::Outcome::Closed:
            session.failureText = "the server closed the connection during the TLS handshake";
            return Step::Closed;
        case Session::Outcome::WaitFailed:
        case Session::Outcome::TransferFailed:
            break;
    }
    const bool socketFailed =
        outcome == Session::Outcome::WaitFailed || session.socket.failure != 0;
    session.failureText = handshakeFailureText(socketFailed, session.lastError);
    return Step::Failed;
}

const CertificateReport& TlsStream::report() const {
    return m_session->report;
}

const std::string& TlsStream::failureText() const {
    return m_session->failureText;
}

ByteStream::Result TlsStream::readSome(std::span<char> buffer, milliseconds slice) {
    return m_session->transfer(buffer.size(), slice, [&](SSL* ssl, std::size_t* count) {
        return SSL_read_ex(ssl, buffer.data(), buffer.size(), count);
    });
}

ByteStream::Result TlsStream::writeSome(std::span<const char> bytes, milliseconds slice) {
    return m_session->transfer(bytes.size(), slice, [&](SSL* ssl, std::size_t* count) {
        return SSL_write_ex(ssl, bytes.data(), bytes.size(), count);
    });
}

void TlsStream::shutdownBoth() {
    Session& session = *m_session;
    if (session.usable && session.ssl) {
        // One try at close_notify; the peer's answer is not waited for, the
        // session is over either way.
        ERR_clear_error();
        SSL_shutdown(session.ssl.get());
        session.usable = false;
    }
    m_socket.shutdownBoth();
}

void TlsStream::close() {
    m_session->usable = false;
    m_session->ssl.reset();
    m_socket.close();
    ERR_clear_error();
}

int TlsStream::lastError() const {
    return m_session->lastError;
}

}  // namespace platform
