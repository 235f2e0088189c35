#include "proxy/ServerLink.h"

#include <array>
#include <string_view>

#include "platform/HostLookup.h"
#include "platform/SocketError.h"
#include "proxy/SlicedWait.h"
#include "proxy/StlsOffer.h"
#include "proxy/Terminator.h"

namespace proxy {

namespace {

using platform::TcpSocket;
using platform::TlsStream;
using std::chrono::milliseconds;

constexpr int kWouldBlock = 10035;
constexpr int kAddressNotAvailable = 10049;
constexpr int kTimedOut = 10060;
// RFC 1939 allows 512 bytes a line; real greetings stay far below this.
constexpr std::size_t kLongestLine = 4096;
// A capability list of more than this is no server's.
constexpr std::size_t kLongestCapabilities = 64 * 1024;
// What of a server's own text goes into a sentence.
constexpr std::size_t kQuotedLength = 200;

// "WSAECONNREFUSED, [10061] Connection refused" -> "Connection refused".
std::string plainSocketText(int code) {
    const std::string text = platform::socketErrorText(code);
    const auto bracket = text.find("] ");
    return bracket == std::string::npos ? text : text.substr(bracket + 2);
}

// A server's line inside a sentence: one line, no control characters.
std::string quoted(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    std::string out = "\"";
    for (const char c : text.substr(0, kQuotedLength)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7f ? '?' : c;
    }
    return out + (text.size() > kQuotedLength ? "...\"" : "\"");
}

// One reply line (greeting, answer to STLS) as it arrives.
class LineReply {
  public:
    std::size_t feed(std::string_view piece) {
        std::size_t used = 0;
        for (const char byte : piece) {
            if (m_complete) {
                break;
            }
            ++used;
            m_text += byte;
            m_complete = m_end.advance(byte);
        }
        return used;
    }
    bool complete() const { return m_complete; }
    bool tooLong() const { return m_text.size() > kLongestLine; }
    const std::string& text() const { return m_text; }
    bool positive() const { return m_text.starts_with("+OK"); }

  private:
    UnitEnd m_end{false};
    std::string m_text;
    bool m_complete = false;
};

// The capability list, looked at only for STLS.
class CapabilityReply {
  public:
    std::size_t feed(std::string_view piece) {
        const std::size_t used = m_offer.feed(piece);
        m_size += used;
        return used;
    }
    bool complete() const { return m_offer.complete(); }
    bool tooLong() const { return m_size > kLongestCapabilities; }
    bool offersStls() const { return m_offer.offered(); }

  private:
    StlsOffer m_offer;
    std::size_t m_size = 0;
};

}  // namespace

ServerLink::ServerLink(const std::atomic<bool>& stop, const LinkTimeouts& timeouts)
    : m_stop(stop), m_timeouts(timeouts), m_io(stop, timeouts.slice) {}

ServerLink::~ServerLink() {
    close();
}

ServerLink::Opened ServerLink::open(const ServerTarget& target) {
    const Pop3Settings& server = target.server;
    m_host = server.useDomainName
                 ? server.serverName
                 : platform::addressToDotted({server.ip1, server.ip2, server.ip3, server.ip4});
    m_port = server.pop3Port;
    const Security mode = target.security.mode;
    const Opened connected = connect(server, mode == Security::Plain);
    if (connected != Opened::Ready || mode == Security::Plain) {
        return connected;
    }
    if (mode == Security::StartTls) {
        const Opened started = startTls();
        if (started != Opened::Ready) {
            return started;
        }
    }
    return handshake(target.security);
}

ServerLink::Opened ServerLink::connect(const Pop3Settings& server, bool plain) {
    if (!m_socket.open()) {
        return socketFailure(Step::Socket, m_socket.lastError(), "open a socket for");
    }
    platform::Ipv4Address address{server.ip1, server.ip2, server.ip3, server.ip4};
    if (server.useDomainName) {
        // A dead name server can hold the system's resolver for tens of
        // seconds; exit and Restart Server must not wait for it.
        const platform::HostLookupResult found = platform::lookupHost(m_host, &m_stop);
        if (found.stopped) {
            return Opened::Stopped;
        }
        if (!found.address) {
            return socketFailure(Step::Lookup, found.error, "find the address of");
        }
        address = *found.address;
    }
    if (!m_socket.setNonBlocking()) {
        return socketFailure(Step::NonBlocking, m_socket.lastError(), "set up the connection to");
    }
    m_socket.setNoDelay();
    if (server.pop3Port < 0 || server.pop3Port > kHighestPort) {
        return socketFailure(Step::Port, kAddressNotAvailable, "connect to");
    }
    return connectTo(address, server.pop3Port, plain);
}

ServerLink::Opened ServerLink::connectTo(const platform::Ipv4Address& address, int port,
                                         bool plain) {
    const std::string doing = "connect to";
    const TcpSocket::Connect started =
        m_socket.connectStart(address, static_cast<std::uint16_t>(port));
    if (started == TcpSocket::Connect::Connected) {
        return Opened::Ready;
    }
    if (started == TcpSocket::Connect::Failed || m_socket.lastError() != kWouldBlock) {
        return socketFailure(Step::Connect, m_socket.lastError(), doing);
    }
    TcpSocket::Wait wait = TcpSocket::Wait::TimedOut;
    const SliceEnd end =
        inSlices(m_stop, m_timeouts.slice, m_timeouts.connect, [&](milliseconds s) {
            wait = m_socket.waitWritable(s);
            return wait != TcpSocket::Wait::TimedOut;
        });
    if (wait == TcpSocket::Wait::Failed) {
        return socketFailure(Step::ConnectWait, m_socket.lastError(), doing);
    }
    if (wait == TcpSocket::Wait::Ready) {
        // A refused or unreachable server shows here at once; reported as the
        // connect's failure rather than the first read's, it names the cause.
        const int code = m_socket.connectResult();
        return code == 0 ? Opened::Ready : socketFailure(Step::Connect, code, doing);
    }
    // Plain text has always gone on to the first read, which sees the stop or
    // times out in turn; TLS needs the connection now.
    if (plain) {
        return Opened::Ready;
    }
    if (end == SliceEnd::Stopped) {
        return Opened::Stopped;
    }
    return socketFailure(Step::Connect, kTimedOut, doing);
}

// Greeting, CAPA and STLS in plain text, each answer read exactly to its end:
// the bytes after the "+OK" to STLS are the server's side of the handshake.
ServerLink::Opened ServerLink::startTls() {
    LineReply greeting;
    if (const Opened read = readReply(greeting, "its greeting"); read != Opened::Ready) {
        return read;
    }
    if (!greeting.positive()) {
        return secureFailure("the server's greeting was " + quoted(greeting.text()));
    }
    CapabilityReply capabilities;
    Opened step = sendCommand("CAPA\r\n");
    if (step == Opened::Ready) {
        step = readReply(capabilities, "its capabilities");
    }
    if (step != Opened::Ready) {
        return step;
    }
    if (!capabilities.offersStls()) {
        return secureFailure("the server does not offer STLS");
    }
    LineReply answer;
    step = sendCommand("STLS\r\n");
    if (step == Opened::Ready) {
        step = readReply(answer, "STLS");
    }
    if (step != Opened::Ready) {
        return step;
    }
    if (!answer.positive()) {
        return secureFailure("the server refused STLS: " + quoted(answer.text()));
    }
    m_greeting = greeting.text();
    return Opened::Ready;
}

template <typename Reply>
ServerLink::Opened ServerLink::readReply(Reply& reply, const char* what) {
    std::array<char, 512> buffer{};
    // Every pass takes at least one byte or ends, and a reply has a most.
    while (!reply.complete()) {
        const SlicedIo::Result read = m_io.read(m_socket, buffer, m_timeouts.io);
        switch (read.end) {
            case SlicedIo::End::Done:
                break;
            case SlicedIo::End::Stopped:
                return Opened::Stopped;
            case SlicedIo::End::Closed:
                return secureFailure(std::string("the server closed the connection before ") +
                                     "TLS began, instead of sending " + what);
            case SlicedIo::End::TimedOut:
                return secureFailure(std::string("the server did not send ") + what + " within " +
                                     seconds(m_timeouts.io));
            default:
                return socketFailure(Step::Secure, read.error, "secure the connection to");
        }
        const std::string_view piece(buffer.data(), read.count);
        if (reply.feed(piece) < piece.size()) {
            return secureFailure(std::string("the server sent more than ") + what +
                                 " before TLS began");
        }
        if (reply.tooLong()) {
            return secureFailure(std::string("the server's answer (") + what + ") is too long");
        }
    }
    return Opened::Ready;
}

ServerLink::Opened ServerLink::sendCommand(std::string_view command) {
    const SlicedIo::Result sent = m_io.writeAll(m_socket, command, m_timeouts.io);
    switch (sent.end) {
        case SlicedIo::End::Done:
            return Opened::Ready;
        case SlicedIo::End::Stopped:
            return Opened::Stopped;
        case SlicedIo::End::TimedOut:
            return secureFailure("the server took nothing within " + seconds(m_timeouts.io));
        default:
            return socketFailure(Step::Secure, sent.error != 0 ? sent.error : m_socket.lastError(),
                                 "secure the connection to");
    }
}

ServerLink::Opened ServerLink::handshake(const ServerSecurity& security) {
    m_tls = std::make_unique<TlsStream>(m_socket);
    if (!m_tls->start(platform::TlsPeer{m_host, security.pin})) {
        return secureFailure(m_tls->failureText());
    }
    TlsStream::Step step = TlsStream::Step::Pending;
    const SliceEnd end =
        inSlices(m_stop, m_timeouts.slice, m_timeouts.connect, [&](milliseconds s) {
            step = m_tls->handshake(s);
            return step != TlsStream::Step::Pending;
        });
    if (end == SliceEnd::Stopped) {
        return Opened::Stopped;
    }
    switch (step) {
        case TlsStream::Step::Done:
            m_certificate = m_tls->report();
            return Opened::Ready;
        case TlsStream::Step::Untrusted:
            return untrusted();
        case TlsStream::Step::Closed:
        case TlsStream::Step::Failed:
            return secureFailure(m_tls->failureText());
        case TlsStream::Step::Pending:
            break;
    }
    return secureFailure("the TLS handshake did not finish within " + seconds(m_timeouts.connect));
}

ServerLink::Opened ServerLink::untrusted() {
    m_certificate = m_tls->report();
    m_failure = Failure{Step::Secure, 0,
                        "Glimmerfen could not verify the certificate of " + m_host + ": " +
                            m_certificate->verifyError + " (SHA-256 " +
                            platform::fingerprintText(m_certificate->digest) + ")"};
    return Opened::Failed;
}

ServerLink::Opened ServerLink::socketFailure(Step step, int code, const std::string& doing) {
    std::string sentence = "Glimmerfen could not " + doing + " the POP3 server " + m_host;
    if (step == Step::Connect || step == Step::Port) {
        sentence += " port " + std::to_string(m_port);
    }
    m_failure = Failure{step, code, sentence + ": " + plainSocketText(code)};
    return Opened::Failed;
}

ServerLink::Opened ServerLink::secureFailure(const std::string& reason) {
    m_failure = Failure{Step::Secure, 0,
                        "Glimmerfen could not secure the connection to " + m_host + ": " + reason};
    return Opened::Failed;
}

std::string ServerLink::seconds(milliseconds time) const {
    const auto whole = std::chrono::ceil<std::chrono::seconds>(time).count();
    return std::to_string(whole) + (whole == 1 ? " second" : " seconds");
}

platform::ByteStream& ServerLink::active() {
    if (m_tls) {
        return *m_tls;
    }
    return m_socket;
}

ServerLink::Result ServerLink::readSome(std::span<char> buffer, milliseconds slice) {
    return active().readSome(buffer, slice);
}

ServerLink::Result ServerLink::writeSome(std::span<const char> bytes, milliseconds slice) {
    return active().writeSome(bytes, slice);
}

void ServerLink::shutdownBoth() {
    active().shutdownBoth();
}

void ServerLink::close() {
    if (m_tls) {
        m_tls->close();
        m_tls.reset();
    }
    m_socket.close();
}

int ServerLink::lastError() const {
    return m_tls ? m_tls->lastError() : m_socket.lastError();
}

}  // namespace proxy
