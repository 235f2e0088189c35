#include "proxy/MidpointServer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "analysis/StoredHeader.h"
#include "desktop/Desktop.h"
#include "diag/Error.h"
#include "diag/SourceName.h"
#include "diag/TraceWriter.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/HostLookup.h"
#include "platform/SocketError.h"
#include "proxy/CapabilityFilter.h"
#include "proxy/PopCommand.h"
#include "proxy/ProxyState.h"
#include "proxy/SpamFlagWord.h"
#include "rating/BayesFilter.h"
#include "store/Database.h"
#include "desktop/HeaderRow.h"

namespace {

using platform::TcpSocket;

const std::string kServerOperation = "CMidPointServer::server()";
const std::string kSessionOperation = "CMidPointServer::establishComm()";
const std::string kConnectionOperation = "CMidPointServer::getPOP3Connection()";
// Spelled so in the error log.
const std::string kConnectOperation = "CMidPointServer::getPOP3COnnection()";
const std::string kRelayOperation = "CMidPointServer::recvSD1sendSD2()";
const std::string kServerTrace = "Midpoint::server()";
const std::string kSessionTrace = "Midpoint::establishComm()";
const std::string kRelayTrace = "MidpointServer::recvSD1sendSD2()";
const std::string kWinsockLabel = "Winsock Error: ";

constexpr int kAddressInUse = 10048;
constexpr int kAddressNotAvailable = 10049;
constexpr int kWouldBlock = 10035;
constexpr int kFallbackLocalPort = 2000;
constexpr int kLongestRecordedText = 5020;
constexpr std::size_t kLastTextCleared = 100;
constexpr const char* kNewEmails = "newA";

void trace(const std::string& mark, const std::string& operation, int line,
           const std::string& file) {
    diag::traceMark(mark, operation, line, file);
}

// A port from the store that a socket address can hold.
bool isPortNumber(int port) {
    return port >= 0 && port <= 65535;
}

// Bounds the slices of a sliced wait, whatever the time-outs are.
std::int64_t sliceCount(std::chrono::milliseconds total, std::chrono::milliseconds slice) {
    const std::int64_t step = std::max<std::int64_t>(1, slice.count());
    return std::max<std::int64_t>(0, total.count()) / step + 2;
}

}  // namespace

void CMidPointServer::TextWindow::restartIfFull() {
    if (count >= kReadSize) {
        restart();
    }
}

void CMidPointServer::TextWindow::restart() {
    position = 0;
    count = 0;
}

void CMidPointServer::TextWindow::put(char byte) {
    // Never past 199 bytes: the window restarts before a read once it holds
    // 100, and a read brings at most 100.
    if (position + 1 < kLastTextSize) {
        text[position++] = byte;
        text[position] = '\0';
    }
}

CMidPointServer::CMidPointServer(const ProxyContext& context, const ProxyTimeouts& timeouts)
    : m_context(context),
      m_timeouts(timeouts),
      m_state(context.state),
      m_spamFlagWord(proxy::readSpamFlagWord()),
      m_ioTimeout(timeouts.io),
      m_rater(context.whiteList, context.blackList, context.resolver, context.bayes),
      m_flowMonitor(context.state, timeouts.flowTick, timeouts.flowWindowTicks) {}

CMidPointServer::~CMidPointServer() {
    m_flowMonitor.stop();
    if (m_winsockStarted) {
        m_oServSocket.shutdownBoth();
        m_oServSocket.close();
    }
}

void CMidPointServer::raiseSocketError(const std::string& message, const std::string& operation,
                                       int code, int line, const std::string& file) {
    m_lastSocketError = code;
    throw CError(message, operation, kWinsockLabel, code, platform::socketErrorText(code), line,
                 file);
}

void CMidPointServer::readSettings() {
    const Pop3Settings settings = m_context.database.getPOP3Settings();
    m_useDomainName = settings.useDomainName;
    m_serverName = settings.serverName;
    m_ip1 = settings.ip1;
    m_ip2 = settings.ip2;
    m_ip3 = settings.ip3;
    m_ip4 = settings.ip4;
    m_pop3Port = settings.pop3Port;
    m_localPort = settings.localPort;
}

// ---------------------------------------------------------------- listener

void CMidPointServer::server() {
    m_winsockStarted = true;
    m_state.sessionActive = false;
    try {
        // The socket library needs no start-up here.
        if (!m_oServSocket.open()) {
            raiseSocketError("socket(), m_oServSocket", kServerOperation, m_oServSocket.lastError(),
                             GF_HERE);
        }
        readSettings();
        if (!bindListener()) {
            m_state.shutFlag = true;
            return;
        }
        if (!m_oServSocket.listen(1)) {
            raiseSocketError("listen() error", kServerOperation, m_oServSocket.lastError(),
                             GF_HERE);
        }
        if (!m_oServSocket.setNonBlocking()) {
            raiseSocketError("ioctlsocket() error", kServerOperation, m_oServSocket.lastError(),
                             GF_HERE);
        }
        if (m_context.listening) {
            m_context.listening(m_oServSocket.boundPort());
        }
        while (!m_state.shutFlag) {
            listenerPass();
        }
    } catch (const PlainFailure& failure) {
        m_context.desktop.showTimedBox(failure.message);
    } catch (const CError& error) {
        m_context.desktop.showTimedBox(error.what());
    } catch (...) {
        m_context.desktop.showTimedBox(CError("Catch All Error", kServerOperation, GF_HERE).what());
    }
    m_state.sessionActive = false;
    m_state.flowStop = true;
    m_state.shutFlag = true;
}

bool CMidPointServer::bindListener() {
    int code = kAddressNotAvailable;
    if (isPortNumber(m_localPort)) {
        if (m_oServSocket.bindLoopback(static_cast<std::uint16_t>(m_localPort))) {
            return true;
        }
        code = m_oServSocket.lastError();
    }
    if (code == kAddressInUse) {
        int port = m_context.desktop.askForPort(m_localPort);
        if (port < kLowestLocalPort || port > kHighestLocalPort) {
            port = kFallbackLocalPort;
        }
        Pop3Settings settings;
        settings.useDomainName = m_useDomainName;
        settings.serverName = m_serverName;
        settings.ip1 = m_ip1;
        settings.ip2 = m_ip2;
        settings.ip3 = m_ip3;
        settings.ip4 = m_ip4;
        settings.pop3Port = m_pop3Port;
        settings.localPort = port;
        m_context.database.setPOP3Settings(settings);
    }
    CError("bind() error", kServerOperation, kWinsockLabel, code, platform::socketErrorText(code),
           GF_HERE);
    return false;
}

void CMidPointServer::listenerPass() {
    diag::truncateTrace();
    trace("1", kServerTrace, GF_HERE);
    trace("2", kServerTrace, GF_HERE);
    trace("3", kServerTrace, GF_HERE);
    const TcpSocket::Wait wait = m_oServSocket.waitReadable(m_timeouts.listenerWait);
    if (wait == TcpSocket::Wait::Failed) {
        throw PlainFailure{"Server error on select() inputSet"};
    }
    trace("4", kServerTrace, GF_HERE);
    if (wait == TcpSocket::Wait::Ready) {
        trace("5", kServerTrace, GF_HERE);
        if (beginSession()) {
            m_retrCount = 0;
            m_flowMonitor.start();
            establishComm();
            m_flowMonitor.stop();
            m_state.refreshPending = true;
            // Cleared on every way out: left set, it would keep every later
            // session and every mail move waiting for good.
            struct RefreshDone {
                std::atomic<bool>& pending;
                ~RefreshDone() { pending = false; }
            } refreshDone{m_state.refreshPending};
            waitForViewRefresh();
            trace("6", kServerTrace, GF_HERE);
        }
    }
    m_state.sessionActive = false;
    trace("7", kServerTrace, GF_HERE);
    if (m_context.listenerPass) {
        m_context.listenerPass();
    }
}

bool CMidPointServer::beginSession() {
    std::lock_guard lock(m_state.proxyLock);
    // The lock stays held while a mail move or the last refresh finishes, so no
    // move can start in between; a stop ends the wait, or exit would hang here.
    while (m_state.mailMoveActive || m_state.refreshPending) {
        if (m_state.shutFlag) {
            return false;
        }
        std::this_thread::sleep_for(m_timeouts.mailMovePoll);
    }
    m_state.sessionActive = true;
    return true;
}

void CMidPointServer::waitForViewRefresh() {
    platform::Event& done = m_context.refreshDoneEvent;
    done.reset();
    m_context.desktop.postRefreshViews(1, done);
    const std::int64_t slices = sliceCount(m_timeouts.refreshWait, m_timeouts.listenerWait);
    const auto deadline = std::chrono::steady_clock::now() + m_timeouts.refreshWait;
    for (std::int64_t slice = 0; slice < slices && !m_state.shutFlag; ++slice) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (done.wait(std::min(left, m_timeouts.listenerWait))) {
            // The wait of an automatic event would have taken the signal.
            done.set();
            return;
        }
    }
    done.set();
}

// ---------------------------------------------------------------- session

void CMidPointServer::establishComm() {
    TcpSocket client;
    TcpSocket pop3;
    m_lastSocketError = 0;
    m_summary = SessionSummary{};
    try {
        client = m_oServSocket.accept();
        if (!client.isOpen()) {
            m_lastSocketError = m_oServSocket.lastError();
            throw PlainFailure{"Accept error"};
        }
        if (!client.setNonBlocking()) {
            raiseSocketError("ioctlsocket(ClientSocket,...) error", kSessionOperation,
                             client.lastError(), GF_HERE);
        }
        // A message goes out in pieces of at most 100 bytes; held back for the
        // peer's delayed acknowledgement, every retrieval would wait ~40 ms.
        client.setNoDelay();
        getPOP3Connection(pop3);
        runSession(client, pop3);
        closeSession(client, pop3);
    } catch (const CError& error) {
        m_summary.end = "failed";
        m_context.desktop.showTimedBox(error.what());
        closeSession(client, pop3);
    } catch (...) {
        m_summary.end = "failed";
        const int code = m_lastSocketError;
        if (code != 0) {
            const std::string text = platform::socketErrorText(code);
            CError(" In catch all ", "MidpointServer::establishComm()", kWinsockLabel, code, text,
                   GF_HERE);
            m_context.desktop.showTimedBox(text);
        } else {
            CError(" In catch all, unknown error ", "MidpointServer::establishComm()", GF_HERE);
            m_context.desktop.showTimedBox("Unknown Error in MidPointServer::establishComm()");
        }
        closeSession(client, pop3);
    }
    m_summary.retrieved = m_retrCount;
    if (m_context.sessionEnded) {
        m_context.sessionEnded(m_summary);
    }
}

void CMidPointServer::runSession(TcpSocket& client, TcpSocket& pop3) {
    bool quit = false;
    bool multiLine = false;
    bool retrieval = false;
    bool capabilities = false;
    // False after a command the proxy answered itself: no server reply follows.
    bool replyFollows = true;
    std::array<char, kLastTextSize> lastText{};
    for (;;) {
        if (replyFollows) {
            recvSD1sendSD2(lastText.data(), pop3, client, multiLine, retrieval,
                           RelayExtras{capabilities, false});
            // A server that has closed can answer nothing more; waiting for the
            // client's next command would only hold the client until time-out.
            if (m_relayEnd == RelayEnd::PeerClosed) {
                m_summary.end = "server closed";
                return;
            }
        }
        if (quit || m_state.shutFlag) {
            m_summary.end = quit ? "QUIT" : "stopped";
            return;
        }
        recvSD1sendSD2(lastText.data(), client, pop3, false, false, RelayExtras{false, true});
        const std::size_t length = strnlen(lastText.data(), lastText.size());
        const proxy::CommandClass command =
            proxy::classifyCommand(std::string_view(lastText.data(), length));
        if (command.empty || (!command.startTls && !forwardHeldCommand(pop3))) {
            // A stop cuts the wait for a command short: that is no time-out.
            if (m_state.shutFlag) {
                m_summary.end = "stopped";
                return;
            }
            trace("Time Out", kSessionTrace, GF_HERE);
            m_context.desktop.showTimedBox("Timed Out!");
            m_summary.end = m_relayEnd == RelayEnd::PeerClosed ? "client closed" : "time-out";
            return;
        }
        m_ioTimeout = m_timeouts.io;
        if (command.startTls) {
            if (!m_commandHeld) {
                // Too long to have been held back, so already with the server:
                // its reply is relayed like any other.
                replyFollows = true;
                multiLine = retrieval = capabilities = quit = false;
                continue;
            }
            m_heldCommand.clear();
            m_commandHeld = false;
            replyFollows = false;
            if (putBytes(client, proxy::kStartTlsRefusal.data(),
                         static_cast<int>(proxy::kStartTlsRefusal.size())) <= 0) {
                m_summary.end = m_state.shutFlag ? "stopped" : "time-out";
                return;
            }
            continue;
        }
        replyFollows = true;
        multiLine = command.multiLine;
        retrieval = command.retrieval;
        capabilities = command.capabilities;
        quit = command.quit;
    }
}

bool CMidPointServer::forwardHeldCommand(TcpSocket& pop3) {
    const std::string held = std::move(m_heldCommand);
    m_heldCommand.clear();
    m_commandHeld = false;
    if (held.empty()) {
        return true;
    }
    return putBytes(pop3, held.data(), static_cast<int>(held.size())) > 0;
}

void CMidPointServer::closeSession(TcpSocket& client, TcpSocket& pop3) {
    trace("Quit 1", kSessionTrace, GF_HERE);
    pop3.shutdownBoth();
    trace("Quit 2", kSessionTrace, GF_HERE);
    pop3.close();
    trace("Quit 3", kSessionTrace, GF_HERE);
    client.shutdownBoth();
    trace("Quit 4", kSessionTrace, GF_HERE);
    client.close();
    trace("Quit 5", kSessionTrace, GF_HERE);
    trace("Quit 6", kSessionTrace, GF_HERE);
}

void CMidPointServer::getPOP3Connection(TcpSocket& socket) {
    if (!socket.open()) {
        m_lastSocketError = socket.lastError();
        throw PlainFailure{"Unable to create client socket for POP3"};
    }
    readSettings();
    platform::Ipv4Address address{};
    if (m_useDomainName) {
        const platform::HostLookupResult found = platform::lookupHost(m_serverName);
        if (!found.address) {
            raiseSocketError("Can't find the POP3 server \"" + m_serverName + "\"",
                             kConnectionOperation, found.error, GF_HERE);
        }
        address = *found.address;
    } else {
        address = {m_ip1, m_ip2, m_ip3, m_ip4};
    }
    if (!socket.setNonBlocking()) {
        raiseSocketError("ioctlsocket(POP3Socket,...) error", kConnectionOperation,
                         socket.lastError(), GF_HERE);
    }
    socket.setNoDelay();
    if (!isPortNumber(m_pop3Port)) {
        raiseSocketError("connect(POP3Socket,...) error", kConnectOperation, kAddressNotAvailable,
                         GF_HERE);
    }
    const TcpSocket::Connect started =
        socket.connectStart(address, static_cast<std::uint16_t>(m_pop3Port));
    if (started == TcpSocket::Connect::Connected) {
        return;
    }
    if (started == TcpSocket::Connect::Failed || socket.lastError() != kWouldBlock) {
        raiseSocketError("connect(POP3Socket,...) error", kConnectOperation, socket.lastError(),
                         GF_HERE);
    }
    const TcpSocket::Wait wait = waitFor(socket, false, m_timeouts.connect);
    if (wait == TcpSocket::Wait::Failed) {
        raiseSocketError("connect(POP3Socket,...) select(), error", kConnectOperation,
                         socket.lastError(), GF_HERE);
    }
    // A refused or unreachable server shows here at once; reported as the
    // connect's failure rather than the first read's, it names the cause.
    if (wait == TcpSocket::Wait::Ready) {
        const int code = socket.connectResult();
        if (code != 0) {
            raiseSocketError("connect(POP3Socket,...) error", kConnectOperation, code, GF_HERE);
        }
    }
}

// ---------------------------------------------------------------- bytes

TcpSocket::Wait CMidPointServer::waitFor(TcpSocket& socket, bool readable,
                                         std::chrono::milliseconds timeout) {
    // Waited in slices no longer than the listener's, so a stop is seen as
    // soon as by the idle listener, and neither exit nor Restart Server is held
    // for a whole time-out by a silent peer.
    m_waitStopped = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::int64_t slices = sliceCount(timeout, m_timeouts.listenerWait);
    for (std::int64_t slice = 0; slice < slices; ++slice) {
        if (m_state.shutFlag) {
            m_waitStopped = true;
            return TcpSocket::Wait::TimedOut;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto step = std::clamp(left, std::chrono::milliseconds(0), m_timeouts.listenerWait);
        const TcpSocket::Wait wait =
            readable ? socket.waitReadable(step) : socket.waitWritable(step);
        if (wait != TcpSocket::Wait::TimedOut) {
            return wait;
        }
        if (left <= step) {
            break;
        }
    }
    return TcpSocket::Wait::TimedOut;
}

int CMidPointServer::getBytes(TcpSocket& socket, char* buffer) {
    const TcpSocket::Wait wait = waitFor(socket, true, m_ioTimeout);
    if (wait == TcpSocket::Wait::Failed) {
        raiseSocketError("select(,&inputSet,,,)", "getBytes()", socket.lastError(), GF_HERE);
    }
    if (wait == TcpSocket::Wait::TimedOut) {
        return -1;
    }
    const int received = socket.receive(std::span<char>(buffer, kReadSize));
    if (received < 0) {
        if (socket.lastError() == kWouldBlock) {
            m_lastSocketError = kWouldBlock;
            return -1;
        }
        raiseSocketError("recv()", "getBytes()", socket.lastError(), GF_HERE);
    }
    return received;
}

int CMidPointServer::putBytes(TcpSocket& socket, const char* data, int length) {
    int sent = 0;
    while (sent < length) {
        const TcpSocket::Wait wait = waitFor(socket, false, m_ioTimeout);
        if (wait == TcpSocket::Wait::Failed) {
            raiseSocketError("select(,,&outSet,,)", "putBytes()", socket.lastError(), GF_HERE);
        }
        if (wait == TcpSocket::Wait::TimedOut) {
            return -1;
        }
        const int result = socket.send(
            std::span<const char>(data + sent, static_cast<std::size_t>(length - sent)));
        if (result == 0) {
            return -1;
        }
        if (result < 0) {
            if (socket.lastError() == kWouldBlock) {
                m_lastSocketError = kWouldBlock;
                return -1;
            }
            raiseSocketError("send()", "putBytes()", socket.lastError(), GF_HERE);
        }
        sent += result;
    }
    return sent;
}

// ---------------------------------------------------------------- relay

void CMidPointServer::restartFlowWindow() {
    m_state.flowBytes = 0;
    m_state.flowTicks = 0;
    m_state.flowActive = true;
}

bool CMidPointServer::cutShort(TextWindow& window, RelayEnd end) {
    window.text[0] = '\0';
    m_relayEnd = end;
    return false;
}

bool CMidPointServer::reportStop(Stage stage) {
    m_relayEnd = RelayEnd::Stopped;
    std::string message;
    if (m_state.flowStop) {
        const char* prefix =
            stage == Stage::Collecting ? "1> " : (stage == Stage::Sending ? "2> " : "3> ");
        message = prefix + m_state.shutReason();
        m_state.setShutReason(message);
    } else if (stage == Stage::Collecting) {
        message = "Email download: Manual shutFlag error";
    } else if (stage == Stage::Sending) {
        message = "Email to client: Manual shutFlag error";
    } else {
        message = "Email download and to client: Manual shutFlag error";
    }
    CError(message, kRelayOperation, GF_HERE);
    return false;
}

bool CMidPointServer::recvSD1sendSD2(char* lastText, TcpSocket& source, TcpSocket& destination,
                                     bool multiLine, bool retrieval, RelayExtras extras) {
    m_relayEnd = RelayEnd::Complete;
    m_heldCommand.clear();
    m_commandHeld = false;
    std::memset(lastText, 0, kLastTextCleared);
    TextWindow window{lastText};
    proxy::UnitEnd unit(multiLine);
    if (retrieval) {
        return relayRetrieval(window, unit, source, destination);
    }
    return relayPlain(window, unit, source, destination, extras);
}

bool CMidPointServer::relayRetrieval(TextWindow& window, proxy::UnitEnd& unit, TcpSocket& source,
                                     TcpSocket& destination) {
    ++m_retrCount;
    m_state.newMailArrived = true;
    trace("1", kRelayTrace, GF_HERE);
    restartFlowWindow();

    std::size_t storedLen = 0;
    std::size_t statusLen = 0;
    bool done = false;
    bool overflow = false;
    std::array<char, kReadSize + 1> readBuffer{};
    while (!done && !overflow) {
        window.restartIfFull();
        const int count = getBytes(source, readBuffer.data());
        if (count < 0 && m_waitStopped) {
            return reportStop(Stage::Collecting);
        }
        if (count <= 0) {
            return cutShort(window, count == 0 ? RelayEnd::PeerClosed : RelayEnd::TimedOut);
        }
        m_state.flowBytes += count;
        if (m_state.shutFlag) {
            return reportStop(Stage::Collecting);
        }
        window.count += static_cast<std::size_t>(count);
        for (int i = 0; i < count; ++i) {
            const char byte = readBuffer[static_cast<std::size_t>(i)];
            window.put(byte);
            m_messageBuf[storedLen++] = byte;
            if (unit.inStatusLine()) {
                ++statusLen;
            }
            if (unit.advance(byte)) {
                done = true;
                break;
            }
            if (storedLen >= kCollectLimit) {
                overflow = true;
            }
        }
    }
    m_messageBuf[storedLen] = '\0';
    m_state.flowActive = true;

    std::size_t sendLength = storedLen;
    if (unit.multiLine()) {
        trace("2a", kRelayTrace, GF_HERE);
        char* text = m_messageBuf.data() + statusLen;
        const auto textLength = static_cast<int>(storedLen - statusLen);
        const int verdict = rateRetrievedMessage(text, textLength);
        bool spam = verdict == kSpam;
        if (verdict == kUndecided) {
            spam = m_context.bayes
                       .rateText(std::string_view(text, static_cast<std::size_t>(textLength)))
                       .spam;
        }
        if (spam) {
            const std::span<char> room(text, m_messageBuf.size() - statusLen);
            sendLength = statusLen + static_cast<std::size_t>(addSpamToSubject(room, textLength));
            ++m_summary.spam;
        }
    } else {
        // The error line as it arrived: lastText keeps only its last 100 to 199
        // bytes, which would cut a long one.
        trace("2b", kRelayTrace, GF_HERE);
    }

    trace("3", kRelayTrace, GF_HERE);
    restartFlowWindow();
    for (std::size_t offset = 0; offset < sendLength;) {
        if (m_state.shutFlag) {
            return reportStop(Stage::Sending);
        }
        const std::size_t piece = std::min(kReadSize, sendLength - offset);
        const int sent =
            putBytes(destination, m_messageBuf.data() + offset, static_cast<int>(piece));
        if (sent <= 0) {
            if (m_waitStopped) {
                return reportStop(Stage::Sending);
            }
            return cutShort(window, RelayEnd::SendFailed);
        }
        m_state.flowBytes += sent;
        offset += piece;
    }
    if (done) {
        return true;
    }
    return relayPlain(window, unit, source, destination, RelayExtras{});
}

bool CMidPointServer::sendOn(TcpSocket& destination, const char* data, std::size_t length) {
    if (length == 0) {
        return true;
    }
    return putBytes(destination, data, static_cast<int>(length)) > 0;
}

bool CMidPointServer::relayPlain(TextWindow& window, proxy::UnitEnd& unit, TcpSocket& source,
                                 TcpSocket& destination, RelayExtras extras) {
    m_state.flowActive = true;
    window.restart();
    trace("4", kRelayTrace, GF_HERE);
    restartFlowWindow();

    proxy::CapabilityFilter filter;
    std::string filtered;
    m_commandHeld = extras.holdCommand;
    std::array<char, kReadSize + 1> readBuffer{};
    for (;;) {
        window.restartIfFull();
        const int count = getBytes(source, readBuffer.data());
        if (count < 0 && m_waitStopped) {
            return reportStop(Stage::Plain);
        }
        if (count <= 0) {
            return cutShort(window, count == 0 ? RelayEnd::PeerClosed : RelayEnd::TimedOut);
        }
        m_state.flowBytes += count;
        readBuffer[static_cast<std::size_t>(count)] = '\0';
        const std::string_view piece(readBuffer.data(), static_cast<std::size_t>(count));
        bool passed = true;
        if (extras.capabilities) {
            filtered.clear();
            filter.feed(piece, filtered);
            passed = sendOn(destination, filtered.data(), filtered.size());
        } else if (m_commandHeld) {
            m_heldCommand.append(piece);
            if (m_heldCommand.size() > kHeldCommandLimit) {
                // Too long to be a command the proxy answers: on it goes.
                m_commandHeld = false;
                passed = sendOn(destination, m_heldCommand.data(), m_heldCommand.size());
                m_heldCommand.clear();
            }
        } else {
            passed = sendOn(destination, piece.data(), piece.size());
        }
        if (!passed) {
            if (m_waitStopped) {
                return reportStop(Stage::Plain);
            }
            return cutShort(window, RelayEnd::SendFailed);
        }
        if (m_state.shutFlag) {
            return reportStop(Stage::Plain);
        }
        bool complete = false;
        for (const char byte : piece) {
            window.put(byte);
            if (unit.advance(byte)) {
                complete = true;
                break;
            }
        }
        window.count += static_cast<std::size_t>(count);
        if (complete) {
            if (extras.capabilities) {
                filtered.clear();
                filter.finish(filtered);
                if (!sendOn(destination, filtered.data(), filtered.size())) {
                    return cutShort(window, RelayEnd::SendFailed);
                }
            }
            m_state.flowActive = true;
            trace("5", kRelayTrace, GF_HERE);
            return true;
        }
    }
}

// ---------------------------------------------------------------- rating

int CMidPointServer::rateRetrievedMessage(char* text, int length) {
    const std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
    text[size] = '\0';
    m_parser.parse(text, size);
    const HeaderRecord parsed = m_parser.getHeaderRecord();
    const FieldTexts fields = m_parser.getFieldTexts();

    std::string minute = fields[kFieldMinute];
    if (minute.size() == 1) {
        minute = "0" + minute;
    }
    const std::string displayDate = fields[kFieldDay] + " " + fields[kFieldMonthName] + " " +
                                    fields[kFieldYear] + ", " + fields[kFieldHour] + ":" + minute;

    if (m_retrCount <= kMaxRecordedRetrievals) {
        const int index = m_context.database.getNextEmailIndex();
        const auto now = static_cast<std::int32_t>(platform::secondsSince1970());
        if (length < 1 || length > kLongestRecordedText) {
            return kNotSpam;
        }
        EmailHeader header = storedHeader(parsed, length, now);
        header.reserved = 0;
        if (m_context.database.setEmailHeader(index, kNewEmails, header,
                                              std::string_view(text, size))) {
            ++m_summary.recorded;
        }
        if (m_context.desktop.isNewEmailsShown()) {
            m_context.desktop.addHeaderRow(HeaderRow{parsed.from, parsed.subject, displayDate,
                                                     parsed.to, std::to_string(index),
                                                     std::to_string(now)});
        }
        m_context.desktop.refreshFolderCounts();
    }

    const std::optional<Verdict> verdict = m_rater.listVerdict(m_parser);
    if (!verdict) {
        return kUndecided;
    }
    return *verdict == Verdict::White ? kNotSpam : kSpam;
}

int CMidPointServer::addSpamToSubject(std::span<char> text, int length) {
    try {
        if (length < 0) {
            throw std::length_error("negative length");
        }
        return static_cast<int>(proxy::addSpamToSubject(text, static_cast<std::size_t>(length),
                                                        m_spamFlagWord, m_parser.m_subjectOffset1,
                                                        m_parser.m_subjectOffset2));
    } catch (...) {
        CError("Some Error", "CMidPointServer::addSpamToSubject", GF_HERE);
        return length;
    }
}
