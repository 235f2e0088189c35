// One POP3 unit through CMidPointServer::recvSD1sendSD2 between two loopback
// connections, as the session loop relays it: a client command, a single-line
// reply, a multi-line reply, a capability listing or a retrieved message. The
// peer's bytes arrive split where the input says, one piece per read, so the
// end-of-unit detection and the collection of a message meet every split.
//
// Input: byte 0 picks the unit kind (bits 0-2) and a disturbance (bits 3-4:
// none, a stop by shutFlag once piece n (bits 5-7) has gone, with or without
// the flow monitor's mark, or a mail client that has gone before the unit
// comes), byte 1 how many piece sizes follow, each size byte gives a piece of
// 1 to 256 bytes, and the rest is what the peer sends (after the last size,
// the rest goes as one piece). A stream without a terminator is followed by
// the peer closing its side, so the relay ends at once instead of waiting out
// its time-out.
//
// Checks, against a model written from the protocol rather than from the
// relay: the relay reports the unit complete exactly when the stream holds its
// terminator; the receiving side gets the bytes of every read the relay took,
// unchanged except the flag word in the Subject of a message rated spam (a
// black-listed sender or Subject phrase); lastText holds the tail the
// session reads the command from; and a retrieved message is recorded in New
// Emails as it arrived. A disturbed unit may end early, but never claims to be
// complete without its terminator, and what it passed on is a start of what
// an undisturbed relay would have passed on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "analysis/HeaderParser.h"
#include "desktop/Desktop.h"
#include "diag/Error.h"
#include "diag/TraceWriter.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzDirectory.h"
#include "platform/Event.h"
#include "platform/TcpSocket.h"
#include "proxy/MidpointServer.h"
#include "proxy/PopCommand.h"
#include "proxy/ProxyState.h"
#include "proxy/SessionGate.h"
#include "proxy/SpamFlagWord.h"
#include "proxy/SpamMarker.h"
#include "rating/BayesFilter.h"
#include "rating/DnsResolver.h"
#include "rating/FilterList.h"
#include "rating/MessageRater.h"
#include "store/Database.h"
#include "store/Folder.h"

namespace {

using namespace std::chrono_literals;
using platform::TcpSocket;

// The longest flag word, so that a marking grows the message the most.
constexpr std::string_view kFlagWord = "[SPAM-BY-GLIMMERFEN]";
constexpr std::string_view kBlackSubject = "viagra";
constexpr std::string_view kBlackSender = "spammer@";
constexpr std::string_view kWhitePhrase = "friend@";
constexpr std::size_t kReadSize = CMidPointServer::kReadSize;
constexpr std::size_t kWindowLimit = CMidPointServer::kLastTextSize - 1;
constexpr int kMaxRecorded = CMidPointServer::kMaxRecordedRetrievals;
// The receiving side is read only once the relay has returned, so all it
// sends must fit the loopback connection's buffers: 16 KiB always does, and
// holds a collected message (4,999 bytes) and a long rest after it.
constexpr std::size_t kMaxStream = 16 * 1024;
constexpr std::size_t kMaxPieces = 64;
constexpr int kFolderRoom = 600;
constexpr int kRunsPerTraceFile = 256;

enum class UnitKind { Command, SingleLine, MultiLine, Retrieval, Capabilities, Count };
enum class Disturbance { None, Stop, MonitorStop, ClientGone };

// A desktop with nobody at it: millions of runs must not pile up rows or boxes.
class QuietDesktop : public Desktop {
  public:
    void showTimedBox(const std::string&) override {}
    void refreshFolderCounts() override {}
    void setStatusText(StatusPane, const std::string&) override {}
    void runBuilderDialog(BuilderJob&) override {}
    void postRefreshViews(int, platform::Event& done) override { done.set(); }
    int askForPort(int currentPort, const std::string&) override { return currentPort; }
    // Shown, so that a recorded message also goes the way of a header row.
    bool isNewEmailsShown() override { return true; }
    void addHeaderRow(const HeaderRow&) override {}
    void showMessage(const std::string&) override {}
};

// ---------------------------------------------------------------- input

struct RelayInput {
    UnitKind kind = UnitKind::Command;
    Disturbance disturbance = Disturbance::None;
    // The stop comes once this many pieces have gone.
    std::size_t stopAfter = 0;
    std::vector<std::string_view> pieces;  // each at most one read
    std::string_view stream;
};

// Splits each piece into the reads the relay makes of it: at most 100 bytes.
std::vector<std::string_view> readsOf(const std::vector<std::string_view>& pieces) {
    std::vector<std::string_view> reads;
    for (std::string_view piece : pieces) {
        while (!piece.empty()) {
            reads.push_back(piece.substr(0, kReadSize));
            piece.remove_prefix(std::min(kReadSize, piece.size()));
        }
    }
    return reads;
}

std::optional<RelayInput> decodeInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return std::nullopt;
    }
    RelayInput input;
    input.kind = static_cast<UnitKind>((data[0] & 7) % static_cast<int>(UnitKind::Count));
    input.disturbance = static_cast<Disturbance>(data[0] >> 3 & 3);
    input.stopAfter = data[0] >> 5;
    const std::size_t sizes = std::min<std::size_t>(data[1] % (kMaxPieces + 1), size - 2);
    const std::uint8_t* sizeBytes = data + 2;
    const auto* bytes = reinterpret_cast<const char*>(data + 2 + sizes);
    input.stream = std::string_view(bytes, std::min(size - 2 - sizes, kMaxStream));
    std::string_view rest = input.stream;
    for (std::size_t i = 0; i < sizes && !rest.empty(); ++i) {
        const std::size_t length = std::min<std::size_t>(sizeBytes[i] + 1u, rest.size());
        input.pieces.push_back(rest.substr(0, length));
        rest.remove_prefix(length);
    }
    if (!rest.empty()) {
        input.pieces.push_back(rest);
    }
    return input;
}

// ---------------------------------------------------------------- model

// Where a unit ends, from the protocol: a multi-line reply at the end of the
// first CR LF "." CR LF, anything else at the end of its first CR LF; a reply
// that starts with "-" is an error line, single-line whatever was asked.
class EndModel {
  public:
    explicit EndModel(bool multiLine) : m_multiLine(multiLine) {}

    // Takes the next byte; true when it ends the unit.
    bool take(char byte) {
        if (m_seen.empty() && byte == '-') {
            m_multiLine = false;
        }
        m_seen += byte;
        const std::string_view end = m_multiLine ? "\r\n.\r\n" : "\r\n";
        return m_seen.ends_with(end) && m_seen.find(end) + end.size() == m_seen.size();
    }
    bool multiLine() const { return m_multiLine; }
    // The bytes up to and including the first CR LF (all of them without one).
    std::size_t statusLength() const {
        const std::size_t lineEnd = m_seen.find("\r\n");
        return lineEnd == std::string::npos ? m_seen.size() : lineEnd + 2;
    }

  private:
    bool m_multiLine;
    std::string m_seen;
};

// lastText as the session sees it: restarted before a read once 100 bytes
// have come since the last restart, never written past 299 bytes.
struct WindowModel {
    std::string text;
    std::size_t count = 0;

    void restartIfFull() {
        if (count >= kReadSize) {
            restart();
        }
    }
    void restart() {
        text.clear();
        count = 0;
    }
    void put(char byte) {
        if (text.size() < kWindowLimit) {
            text += byte;
        }
    }
    // As a C string shows it: up to the first NUL.
    std::string shown() const { return text.substr(0, text.find('\0')); }
};

struct Expected {
    bool complete = false;
    std::string output;
    // A capability listing cut short may still hold back a partial line.
    bool outputIsPrefix = false;
    std::string window;
    // The message text that New Emails must receive, if any.
    std::optional<std::string> recorded;
};

bool isDroppedCapability(std::string_view line) {
    while (!line.empty() && std::string_view("\r\n \t").find(line.back()) != std::string::npos) {
        line.remove_suffix(1);
    }
    std::string upper(line);
    for (char& c : upper) {
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return upper == "STLS" || upper == "PIPELINING";
}

// A capability listing without the lines the proxy cannot offer the client. A
// line too long to be one of them (more than 64 bytes before its LF) passes.
std::string withoutDroppedCapabilities(std::string_view bytes) {
    std::size_t at = bytes.find('\n');
    if (at == std::string::npos) {
        return std::string(bytes);
    }
    std::string out(bytes.substr(0, ++at));
    while (at < bytes.size()) {
        const std::size_t lineEnd = bytes.find('\n', at);
        const std::size_t next = lineEnd == std::string::npos ? bytes.size() : lineEnd + 1;
        const std::string_view line = bytes.substr(at, next - at);
        const bool whole = lineEnd != std::string::npos;
        if (!(whole && line.size() <= 65 && isDroppedCapability(line))) {
            out += line;
        }
        at = next;
    }
    return out;
}

class Model {
  public:
    Model(MessageRater& rater, BayesFilter& bayes) : m_rater(rater), m_bayes(bayes) {}

    Expected expect(const RelayInput& input, int retrCountAfter) {
        const std::vector<std::string_view> reads = readsOf(input.pieces);
        if (input.kind == UnitKind::Retrieval) {
            return expectRetrieval(reads, retrCountAfter);
        }
        const bool multiLine =
            input.kind == UnitKind::MultiLine || input.kind == UnitKind::Capabilities;
        EndModel end(multiLine);
        WindowModel window;
        std::size_t next = 0;
        Expected expected;
        std::string consumed;
        expected.complete = relayPlain(reads, next, end, window, consumed);
        expected.output = plainOutput(input.kind, consumed, expected);
        expected.window = expected.complete ? window.shown() : "";
        return expected;
    }

  private:
    // Reads from `next` on until the unit ends; what they held goes to `consumed`.
    static bool relayPlain(const std::vector<std::string_view>& reads, std::size_t& next,
                           EndModel& end, WindowModel& window, std::string& consumed) {
        window.restart();
        while (next < reads.size()) {
            window.restartIfFull();
            const std::string_view read = reads[next++];
            consumed += read;
            bool complete = false;
            for (const char byte : read) {
                window.put(byte);
                if (end.take(byte)) {
                    complete = true;
                    break;
                }
            }
            window.count += read.size();
            if (complete) {
                return true;
            }
        }
        return false;
    }

    static std::string plainOutput(UnitKind kind, const std::string& consumed, Expected& expected) {
        switch (kind) {
            case UnitKind::Command:
                // Held back for the session unless too long to be one it answers.
                return consumed.size() > CMidPointServer::kHeldCommandLimit ? consumed : "";
            case UnitKind::Capabilities:
                expected.outputIsPrefix = !expected.complete;
                return withoutDroppedCapabilities(consumed);
            default:
                return consumed;
        }
    }

    Expected expectRetrieval(const std::vector<std::string_view>& reads, int retrCountAfter) {
        Expected expected;
        EndModel end(true);
        WindowModel window;
        std::string collected;
        std::size_t next = 0;
        bool done = false;
        bool overflow = false;
        while (!done && !overflow) {
            if (next == reads.size()) {
                return expected;  // nothing goes on before the message is rated
            }
            window.restartIfFull();
            const std::string_view read = reads[next++];
            window.count += read.size();
            for (const char byte : read) {
                window.put(byte);
                collected += byte;
                if (end.take(byte)) {
                    done = true;
                    break;
                }
                overflow = collected.size() >= CMidPointServer::kCollectLimit;
            }
        }
        expected.output = end.multiLine()
                              ? rated(collected, end.statusLength(), retrCountAfter, expected)
                              : collected;
        if (done) {
            expected.complete = true;
            expected.window = window.shown();
            return expected;
        }
        std::string rest;
        expected.complete = relayPlain(reads, next, end, window, rest);
        expected.output += rest;
        expected.window = expected.complete ? window.shown() : "";
        return expected;
    }

    // The collected reply as it goes to the client: the status line, then the
    // message, with the flag word in its Subject when the lists call it spam.
    std::string rated(const std::string& collected, std::size_t statusLength, int retrCountAfter,
                      Expected& expected) {
        const std::string status = collected.substr(0, statusLength);
        const std::string text = collected.substr(statusLength);
        const bool recorded = retrCountAfter <= kMaxRecorded;
        if (recorded && text.empty()) {
            return collected;  // nothing to record or rate
        }
        if (recorded) {
            expected.recorded = text;
        }
        CHeaderParser parser;
        parser.parse(text);
        const std::optional<Verdict> verdict = m_rater.listVerdict(parser);
        const bool spam = verdict ? *verdict != Verdict::White : m_bayes.rateText(text).spam;
        if (!spam) {
            return collected;
        }
        std::vector<char> room(CMidPointServer::kMessageBufSize - statusLength);
        std::memcpy(room.data(), text.data(), text.size());
        try {
            const std::size_t length = proxy::addSpamToSubject(
                room, text.size(), kFlagWord, parser.m_subjectOffset1, parser.m_subjectOffset2);
            return status + std::string(room.data(), length);
        } catch (const std::length_error&) {
            return collected;
        }
    }

    MessageRater& m_rater;
    BayesFilter& m_bayes;
};

// ---------------------------------------------------------------- sockets

// Closed with a reset rather than a FIN, so that millions of runs leave no
// connections waiting out TIME_WAIT and the ports never run out.
void abortOnClose(int fd) {
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

std::uint16_t localPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0 ||
        address.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(address.sin_port);
}

std::uint16_t peerPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0 ||
        address.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(address.sin_port);
}

int loopbackSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd >= 0);
    return fd;
}

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int rawListener() {
    const int fd = loopbackSocket();
    const sockaddr_in address = loopbackAddress(0);
    FUZZ_CHECK(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    FUZZ_CHECK(::listen(fd, 8) == 0);
    return fd;
}

// libFuzzer's timer signal interrupts blocking calls now and then; a connect
// it interrupts goes on in the background.
bool connectedAfterInterruption(int fd) {
    pollfd wait{fd, POLLOUT, 0};
    while (::poll(&wait, 1, -1) < 0) {
        FUZZ_CHECK(errno == EINTR);
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending == 0;
}

int rawConnect(std::uint16_t port) {
    const int fd = loopbackSocket();
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        FUZZ_CHECK(errno == EINTR && connectedAfterInterruption(fd));
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    abortOnClose(fd);
    return fd;
}

// The descriptor of the proxy's own end of a connection, which TcpSocket keeps
// to itself: the feeder needs it to see when the relay has taken a piece.
int descriptorOf(std::uint16_t local, std::uint16_t peer, int hint) {
    if (hint >= 0 && localPort(hint) == local && peerPort(hint) == peer) {
        return hint;
    }
    for (int fd = 0; fd < 65536; ++fd) {
        if (localPort(fd) == local && peerPort(fd) == peer) {
            return fd;
        }
    }
    return -1;
}

int unreadBytes(int fd) {
    int pending = 0;
    return ::ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

// Bytes that have arrived at the socket, read or not. Unread bytes alone
// cannot tell a piece still on its way from one already taken.
std::int64_t arrivedBytes(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) < 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        return -1;
    }
    return static_cast<std::int64_t>(info.tcpi_bytes_received);
}

// The two connections of one run: the peer that sends the unit and the proxy's
// end it reads from; the proxy's end it writes to and the peer that receives.
class RelayLinks {
  public:
    RelayLinks(TcpSocket& sourceListener, int destinationListener) {
        m_sourcePeer = rawConnect(sourceListener.boundPort());
        const int hint = lowestFreeDescriptor();
        m_source = sourceListener.accept();
        FUZZ_CHECK(m_source.isOpen() && m_source.setNonBlocking());
        m_sourceFd = descriptorOf(sourceListener.boundPort(), localPort(m_sourcePeer), hint);
        FUZZ_CHECK(m_sourceFd >= 0);

        FUZZ_CHECK(m_destination.open());
        const TcpSocket::Connect connect =
            m_destination.connectStart({127, 0, 0, 1}, localPort(destinationListener));
        FUZZ_CHECK(connect != TcpSocket::Connect::Failed);
        if (connect == TcpSocket::Connect::InProgress) {
            FUZZ_CHECK(m_destination.waitWritable(std::chrono::seconds(5)) ==
                           TcpSocket::Wait::Ready &&
                       m_destination.connectResult() == 0);
        }
        FUZZ_CHECK(m_destination.setNonBlocking());
        do {
            m_destinationPeer = ::accept4(destinationListener, nullptr, nullptr, SOCK_CLOEXEC);
        } while (m_destinationPeer < 0 && errno == EINTR);
        FUZZ_CHECK(m_destinationPeer >= 0);
        abortOnClose(m_destinationPeer);
    }
    ~RelayLinks() {
        ::close(m_sourcePeer);
        if (m_destinationPeer >= 0) {
            ::close(m_destinationPeer);
        }
        m_source.close();
        m_destination.close();
    }
    RelayLinks(const RelayLinks&) = delete;
    RelayLinks& operator=(const RelayLinks&) = delete;

    TcpSocket& source() { return m_source; }
    TcpSocket& destination() { return m_destination; }
    // The mail client resets its connection.
    void dropClient() {
        ::close(m_destinationPeer);
        m_destinationPeer = -1;
    }
    int sourcePeer() const { return m_sourcePeer; }
    int sourceFd() const { return m_sourceFd; }

    // Everything the relay sent: its end is closed first, so the peer reads to
    // the end of the stream without guessing when it is over.
    std::string received() {
        m_destination.shutdownBoth();
        std::string bytes;
        char buffer[4096];
        for (;;) {
            const ssize_t count = ::recv(m_destinationPeer, buffer, sizeof buffer, 0);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                FUZZ_CHECK(count == 0);
                return bytes;
            }
            bytes.append(buffer, static_cast<std::size_t>(count));
        }
    }

  private:
    static int lowestFreeDescriptor() {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(fd);
        return fd;
    }

    int m_sourcePeer = -1;
    int m_destinationPeer = -1;
    int m_sourceFd = -1;
    TcpSocket m_source;
    TcpSocket m_destination;
};

// Sends the pieces one at a time, each only once the relay has read all of the
// one before, so every piece arrives in reads of its own.
// How the feeder ends the stream: by closing its side after the last piece
// (a stream without a terminator), or by raising a stop after some piece.
struct FeedEnd {
    bool closeAtEnd = false;
    std::optional<std::size_t> stopAfter;
    ProxyState* state = nullptr;
};

class Feeder {
  public:
    Feeder(const RelayLinks& links, const std::vector<std::string_view>& pieces, FeedEnd end)
        : m_thread([this, peer = links.sourcePeer(), source = links.sourceFd(), pieces, end] {
              run(peer, source, pieces, end);
          }) {}
    ~Feeder() {
        m_stop = true;
        m_thread.join();
    }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

  private:
    void run(int peer, int source, const std::vector<std::string_view>& pieces, FeedEnd end) {
        std::int64_t sent = 0;
        for (std::size_t n = 0; n <= pieces.size(); ++n) {
            if (end.stopAfter && *end.stopAfter == n) {
                end.state->shutFlag = true;
                return;
            }
            if (n == pieces.size()) {
                break;
            }
            sent += static_cast<std::int64_t>(pieces[n].size());
            if (m_stop || !sendAll(peer, pieces[n]) || !waitTaken(source, sent)) {
                return;
            }
        }
        if (end.closeAtEnd) {
            ::shutdown(peer, SHUT_WR);
        }
    }

    static bool sendAll(int fd, std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // Until all `sent` bytes have arrived and the relay has read them.
    bool waitTaken(int source, std::int64_t sent) {
        while (!m_stop) {
            const std::int64_t arrived = arrivedBytes(source);
            const int pending = unreadBytes(source);
            FUZZ_CHECK(arrived >= 0 && pending >= 0);
            if (arrived >= sent && pending == 0) {
                return true;
            }
            std::this_thread::sleep_for(5us);
        }
        return false;
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// ---------------------------------------------------------------- environment

ProxyTimeouts fuzzTimeouts() {
    ProxyTimeouts timeouts;
    // Only a fault of the relay or of the model ever waits this long: every
    // stream either holds its terminator or is followed by the peer's close.
    timeouts.io = 3000ms;
    timeouts.connect = 1000ms;
    // The slice in which a wait notices a stop: short, so that a stopped unit
    // ends within milliseconds.
    timeouts.listenerWait = 2ms;
    return timeouts;
}

using LastText = std::array<char, CMidPointServer::kLastTextSize>;

// The proxy's objects, made once in a private working directory.
class RelayWorld {
  public:
    RelayWorld()
        : m_directory("relay"),
          m_enterDirectory(enter(m_directory.path())),
          m_database(m_desktop),
          m_white(kWhiteListFile),
          m_black(kBlackListFile),
          m_bayes(m_database, m_desktop),
          m_resolver(m_database, m_desktop),
          m_rater(m_white, m_black, m_resolver, m_bayes),
          m_model(m_rater, m_bayes) {
        FUZZ_CHECK(proxy::writeSpamFlagWord(kFlagWord));
        FUZZ_CHECK(m_white.replaceFromList({{std::string(kWhitePhrase), "From", "Insensitive"}}));
        FUZZ_CHECK(m_black.replaceFromList({{std::string(kBlackSubject), "Subject", "Insensitive"},
                                            {std::string(kBlackSender), "From", "Insensitive"}}));
        FUZZ_CHECK(m_sourceListener.open() && m_sourceListener.bindLoopback(0) &&
                   m_sourceListener.listen(8));
        m_destinationListener = rawListener();
        m_proxy = makeProxy();
        FUZZ_CHECK(m_proxy->spamFlagWord() == kFlagWord);
    }
    ~RelayWorld() { ::close(m_destinationListener); }
    RelayWorld(const RelayWorld&) = delete;
    RelayWorld& operator=(const RelayWorld&) = delete;

    void run(const RelayInput& input) {
        prepareStore();
        if (input.disturbance == Disturbance::None) {
            runUndisturbed(input);
        } else {
            runDisturbed(input);
        }
    }

  private:
    void runUndisturbed(const RelayInput& input) {
        RelayLinks links(m_sourceListener, m_destinationListener);
        const int recordedBefore = m_database.emailCount(folderKey(Folder::New));
        LastText lastText;
        const bool complete = relay(input, links, lastText, plainEnd(input));
        const std::string received = links.received();
        const Expected expected = m_model.expect(input, m_proxy->retrCount());
        check(expected, complete, received, lastText);
        checkRecorded(expected, recordedBefore);
        if (input.kind == UnitKind::Command && complete) {
            checkCommandWords(lastText);
        }
    }

    // The session reads the command out of lastText: it finds no command
    // exactly when the text holds nothing but blanks.
    static void checkCommandWords(const LastText& lastText) {
        const std::string_view text(lastText.data());
        const bool blank = text.find_first_not_of(" \t\r\n\v\f") == std::string_view::npos;
        FUZZ_CHECK(proxy::classifyCommand(text).empty == blank);
    }

    void runDisturbed(const RelayInput& input) {
        RelayLinks links(m_sourceListener, m_destinationListener);
        LastText lastText;
        FeedEnd end = plainEnd(input);
        const bool clientGone = input.disturbance == Disturbance::ClientGone;
        if (clientGone) {
            links.dropClient();
        } else {
            end.stopAfter = input.stopAfter;
            end.state = &m_state;
            m_state.flowStop = input.disturbance == Disturbance::MonitorStop;
            m_state.setShutReason("ShutFlag set, flow rate is 0.000000, below the threshold. ");
        }
        bool complete = false;
        try {
            complete = relay(input, links, lastText, end);
        } catch (const CError&) {
            // A send to a client that has gone fails as a socket error.
            FUZZ_CHECK(clientGone);
        }
        m_state.shutFlag = false;
        m_state.flowStop = false;
        const Expected expected = m_model.expect(input, m_proxy->retrCount());
        FUZZ_CHECK(!complete || expected.complete);
        if (!clientGone) {
            const std::string received = links.received();
            FUZZ_CHECK(expected.output.starts_with(received));
        }
    }

    bool relay(const RelayInput& input, RelayLinks& links, LastText& lastText, FeedEnd end) {
        lastText.fill('\x7f');
        Feeder feeder(links, input.pieces, end);
        return m_proxy
            ->recvSD1sendSD2(lastText.data(), links.source(), links.destination(),
                             multiLine(input.kind), input.kind == UnitKind::Retrieval,
                             extrasFor(input.kind))
            .complete();
    }

    static bool enter(const std::string& path) {
        FUZZ_CHECK(::chdir(path.c_str()) == 0);
        return true;
    }

    std::unique_ptr<CMidPointServer> makeProxy() {
        const ProxyContext context{m_database, m_bayes, m_white,   m_black, m_resolver, m_desktop,
                                   m_state,    m_gate,  m_refresh, {},      {},         {}};
        return std::make_unique<CMidPointServer>(context, fuzzTimeouts());
    }

    static bool multiLine(UnitKind kind) {
        return kind == UnitKind::MultiLine || kind == UnitKind::Retrieval ||
               kind == UnitKind::Capabilities;
    }

    static RelayExtras extrasFor(UnitKind kind) {
        return RelayExtras{kind == UnitKind::Capabilities, kind == UnitKind::Command};
    }

    static FeedEnd plainEnd(const RelayInput& input) {
        FeedEnd end;
        end.closeAtEnd = !holdsTerminator(input);
        return end;
    }

    static bool holdsTerminator(const RelayInput& input) {
        const bool multi = multiLine(input.kind) && !input.stream.starts_with('-');
        return input.stream.find(multi ? "\r\n.\r\n" : "\r\n") != std::string_view::npos;
    }

    // New Emails keeps room, a fresh proxy starts a fresh session count (so
    // recording goes on after the 90 of a session), and the trace file stays small.
    void prepareStore() {
        if (m_database.emailCount(folderKey(Folder::New)) >= kFolderRoom) {
            for (const int index : m_database.emailIndexes(folderKey(Folder::New))) {
                m_database.deleteEmailHeader(index, folderKey(Folder::New));
            }
        }
        if (m_proxy->retrCount() > kMaxRecorded + 5) {
            m_proxy = makeProxy();
        }
        if (++m_runs % kRunsPerTraceFile == 0) {
            diag::truncateTrace();
        }
    }

    void check(const Expected& expected, bool complete, const std::string& received,
               const LastText& lastText) {
        FUZZ_CHECK(complete == expected.complete);
        if (expected.outputIsPrefix) {
            FUZZ_CHECK(expected.output.starts_with(received));
        } else {
            FUZZ_CHECK(received == expected.output);
        }
        const std::size_t shown = strnlen(lastText.data(), lastText.size());
        FUZZ_CHECK(shown < lastText.size());
        FUZZ_CHECK(std::string_view(lastText.data(), shown) == expected.window);
    }

    void checkRecorded(const Expected& expected, int recordedBefore) {
        const std::vector<int> indexes = m_database.emailIndexes(folderKey(Folder::New));
        if (!expected.recorded) {
            FUZZ_CHECK(static_cast<int>(indexes.size()) == recordedBefore);
            return;
        }
        FUZZ_CHECK(static_cast<int>(indexes.size()) == recordedBefore + 1);
        EmailHeader header;
        std::string text;
        FUZZ_CHECK(m_database.getEmailHeader(indexes.back(), folderKey(Folder::New), header, text));
        FUZZ_CHECK(header.textLength == static_cast<std::int32_t>(expected.recorded->size()));
        FUZZ_CHECK(text == *expected.recorded);
    }

    FuzzDirectory m_directory;
    bool m_enterDirectory;
    QuietDesktop m_desktop;
    CDatabase m_database;
    FilterList m_white;
    FilterList m_black;
    BayesFilter m_bayes;
    DnsResolver m_resolver;
    MessageRater m_rater;
    Model m_model;
    ProxyState m_state;
    SessionGate m_gate;
    platform::Event m_refresh{platform::Event::Reset::Manual};
    TcpSocket m_sourceListener;
    int m_destinationListener = -1;
    std::unique_ptr<CMidPointServer> m_proxy;
    int m_runs = 0;
};

RelayWorld* g_world = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_world = new RelayWorld();
    // The world's directory holds a whole store file in memory-backed space.
    std::atexit([] {
        delete g_world;
        g_world = nullptr;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<RelayInput> input = decodeInput(data, size);
    if (!input) {
        return 0;
    }
    g_world->run(*input);
    return 0;
}
