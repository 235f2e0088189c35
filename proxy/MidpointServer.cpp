#include "proxy/MidpointServer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "analysis/StoredHeader.h"
#include "desktop/Desktop.h"
#include "desktop/HeaderRow.h"
#include "diag/Error.h"
#include "diag/SourceName.h"
#include "diag/TraceWriter.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/HostLookup.h"
#include "platform/PeerOwner.h"
#include "platform/SocketError.h"
#include "platform/StreamCork.h"
#include "proxy/PopCommand.h"
#include "proxy/ProxyState.h"
#include "proxy/SessionGate.h"
#include "proxy/SlicedWait.h"
#include "proxy/SpamFlagWord.h"
#include "rating/BayesFilter.h"
#include "store/Database.h"
#include "store/AccountBook.h"
#include "store/Folder.h"
#include "store/SettingsFile.h"

namespace {

using platform::ByteStream;
using platform::TcpSocket;
using proxy::ServerLink;
using proxy::SlicedIo;

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
constexpr int kFallbackLocalPort = 2000;
constexpr int kLongestRecordedText = 5020;
constexpr std::size_t kLastTextCleared = 100;
// What the mail client reads in place of a greeting when no session can start.
constexpr std::string_view kRefusalStart = "-ERR [SYS/PERM] ";
const std::string kOwnUsersOnly = "Glimmerfen serves only its own user's programs";
const std::string kOwnerCheckUnavailable =
    "The system's socket tables (/proc/net/tcp) cannot be read, so Glimmerfen cannot tell "
    "which user's program connects; it serves every local connection";

void trace(const std::string& mark, const std::string& operation, int line,
           const std::string& file) {
    diag::traceMark(mark, operation, line, file);
}

// A port from the store that a socket address can hold.
bool isPortNumber(int port) {
    return port >= 0 && port <= 65535;
}

[[noreturn]] void raiseSocketError(const std::string& message, const std::string& operation,
                                   int code, int line, const std::string& file) {
    throw CError(message, operation, kWinsockLabel, code, platform::socketErrorText(code), line,
                 file);
}

}  // namespace

// One client session as its state machine sees it.
struct CMidPointServer::Session {
    ByteStream& client;
    ByteStream& pop3;
    // The last command passed on: the shape of the reply that comes next.
    // None before the greeting.
    proxy::CommandClass command{};
    std::array<char, kLastTextSize> lastText{};
    // The last would-block code a transfer of the session met, for the
    // catch-all's report.
    int socketError = 0;
    // How the session ended, for its summary.
    std::string end;

    void note(int code) {
        if (code != 0) {
            socketError = code;
        }
    }
    SessionState ended(std::string how) {
        end = std::move(how);
        return SessionState::Ended;
    }
};

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

// As many put(byte) would, in one copy.
void CMidPointServer::TextWindow::put(std::string_view bytes) {
    const std::size_t fits = std::min(bytes.size(), kLastTextSize - 1 - position);
    if (fits > 0) {
        std::memcpy(text + position, bytes.data(), fits);
        position += fits;
        text[position] = '\0';
    }
}

CMidPointServer::CMidPointServer(const ProxyContext& context, const ProxyTimeouts& timeouts)
    : m_context(context),
      m_timeouts(timeouts),
      m_state(context.state),
      m_spamFlagWord(proxy::readSpamFlagWord()),
      m_io(context.state.shutFlag, timeouts.listenerWait),
      m_rater(context.whiteList, context.blackList, context.resolver, context.bayes),
      m_flowMonitor(context.state, timeouts.flowTick, timeouts.flowWindowTicks) {}

CMidPointServer::~CMidPointServer() {
    m_flowMonitor.stop();
    if (m_winsockStarted) {
        m_oServSocket.shutdownBoth();
        m_oServSocket.close();
    }
}

void CMidPointServer::readSettings() {
    if (m_context.account == Account::kMainName) {
        readSettings(Settings{});
    } else {
        readSettings(SettingsFile::loadAsIs());
    }
}

// "main" is the store's; any other account's server and ports are in the file.
void CMidPointServer::readSettings(const Settings& file) {
    Pop3Settings settings;
    if (m_context.account == Account::kMainName) {
        settings = m_context.database.getPOP3Settings();
    } else {
        const AccountSettings* entry = file.find(m_context.account);
        if (entry == nullptr || !entry->pop3) {
            throw PlainFailure{"The account " + m_context.account +
                               " is no longer in the settings file"};
        }
        settings = *entry->pop3;
    }
    m_useDomainName = settings.useDomainName;
    m_serverName = settings.serverName;
    m_ip1 = settings.ip1;
    m_ip2 = settings.ip2;
    m_ip3 = settings.ip3;
    m_ip4 = settings.ip4;
    m_pop3Port = settings.pop3Port;
    m_localPort = settings.localPort;
}

Pop3Settings CMidPointServer::currentSettings() const {
    Pop3Settings settings;
    settings.useDomainName = m_useDomainName;
    settings.serverName = m_serverName;
    settings.ip1 = m_ip1;
    settings.ip2 = m_ip2;
    settings.ip3 = m_ip3;
    settings.ip4 = m_ip4;
    settings.pop3Port = m_pop3Port;
    settings.localPort = m_localPort;
    return settings;
}

// Read per session, as the POP3 settings are. A file that cannot be read, or
// is damaged, may be hiding a request for TLS, so no session goes ahead on a
// guess (the defaults would send the user's password in the clear); the file
// is left as it is for the person to repair or set again.
std::optional<CMidPointServer::SessionSettings> CMidPointServer::readSessionSettings() {
    try {
        const Settings file = SettingsFile::loadAsIs();
        readSettings(file);
        return SessionSettings{file.security(m_context.account), file.classificationHeader};
    } catch (const CError& error) {
        m_context.desktop.showTimedBox(error.what());
    } catch (const PlainFailure& failure) {
        m_context.desktop.showTimedBox(failure.message);
    }
    return std::nullopt;
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
        int port = m_context.desktop.askForPort(m_localPort, m_context.account);
        if (port < kLowestLocalPort || port > kHighestLocalPort) {
            port = kFallbackLocalPort;
        }
        keepLocalPort(port);
    }
    diag::recordError("bind() error", kServerOperation, kWinsockLabel, code,
                      platform::socketErrorText(code), GF_HERE);
    return false;
}

// The port the person chose after a conflict, kept where the account lives.
void CMidPointServer::keepLocalPort(int port) {
    Pop3Settings settings = currentSettings();
    settings.localPort = port;
    if (m_context.account == Account::kMainName) {
        m_context.database.setPOP3Settings(settings);
        return;
    }
    AccountBook book(m_context.database);
    std::optional<Account> account = book.find(m_context.account);
    if (!account) {
        return;
    }
    account->pop3.localPort = port;
    if (const std::optional<std::string> refused = book.update(account->name, *account)) {
        m_context.desktop.showTimedBox(*refused);
    }
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
            const bool served = establishComm();
            m_flowMonitor.stop();
            // A refused connection reached nothing the views show: the slot
            // is free at once.
            // The refresh is pending before the session is counted out, so no
            // mail move starts from the views as they were before it.
            if (served) {
                m_context.gate.beginRefresh();
            }
            m_state.sessionActive = false;
            m_context.gate.endSession();
            if (served) {
                refreshViews();
            }
        }
    }
    m_state.sessionActive = false;
    trace("7", kServerTrace, GF_HERE);
    if (m_context.listenerPass) {
        m_context.listenerPass();
    }
}

bool CMidPointServer::beginSession() {
    if (!m_context.gate.beginSession(m_state.shutFlag, m_timeouts.mailMovePoll)) {
        return false;
    }
    m_state.sessionActive = true;
    return true;
}

// The refresh was counted pending before the session ended; it is ended on
// every way out here.
void CMidPointServer::refreshViews() {
    // Ended on every way out: left pending, it would keep every mail move
    // waiting for good.
    struct RefreshDone {
        SessionGate& gate;
        ~RefreshDone() { gate.endRefresh(); }
    } refreshDone{m_context.gate};
    waitForViewRefresh();
    trace("6", kServerTrace, GF_HERE);
}

void CMidPointServer::waitForViewRefresh() {
    platform::Event& done = m_context.refreshDoneEvent;
    done.reset();
    m_context.desktop.postRefreshViews(1, done);
    const std::int64_t slices = proxy::sliceCount(m_timeouts.refreshWait, m_timeouts.listenerWait);
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

bool CMidPointServer::establishComm() {
    TcpSocket client;
    ServerLink pop3(m_state.shutFlag, proxy::LinkTimeouts{m_timeouts.connect, m_timeouts.io,
                                                          m_timeouts.listenerWait});
    Session session{client, pop3, {}, {}, 0, {}};
    m_summary = SessionSummary{};
    bool served = true;
    try {
        client = m_oServSocket.accept();
        if (!client.isOpen()) {
            throw PlainFailure{"Accept error", m_oServSocket.lastError()};
        }
        if (!client.setNonBlocking()) {
            raiseSocketError("ioctlsocket(ClientSocket,...) error", kSessionOperation,
                             client.lastError(), GF_HERE);
        }
        // A message goes out in pieces of at most 100 bytes; held back for the
        // peer's delayed acknowledgement, every retrieval would wait ~40 ms.
        client.setNoDelay();
        served = fromOwnUser(client);
        if (!served) {
            m_summary.end = "refused";
        } else if (const ServerLink::Opened opened = getPOP3Connection(pop3, client);
                   opened == ServerLink::Opened::Ready) {
            const std::string& greeting = pop3.greeting();
            runSession(session, greeting.empty() ? SessionState::RelayReply
                                                 : passGreeting(session, greeting));
            m_summary.end = session.end;
        } else {
            m_summary.end = opened == ServerLink::Opened::Stopped ? "stopped" : "failed";
        }
        closeSession(client, pop3);
    } catch (const CError& error) {
        m_summary.end = "failed";
        m_context.desktop.showTimedBox(error.what());
        closeSession(client, pop3);
    } catch (const PlainFailure& failure) {
        sessionFailed(failure.socketError);
        closeSession(client, pop3);
    } catch (...) {
        sessionFailed(session.socketError);
        closeSession(client, pop3);
    }
    m_summary.retrieved = m_retrCount;
    if (m_context.sessionEnded) {
        m_context.sessionEnded(m_summary);
    }
    return served;
}

// The listener is on loopback, yet any user of the machine can connect to it,
// and the session would fetch with the password the client sends: only the
// user's own programs are served.
bool CMidPointServer::fromOwnUser(TcpSocket& client) {
    platform::Endpoint local;
    platform::Endpoint peer;
    // A connection whose ends cannot be named is already gone: nothing to serve.
    if (!client.endpoints(local.address, local.port, peer.address, peer.port)) {
        return false;
    }
    const platform::PeerOwner owner = platform::peerOwner(local, peer);
    if (owner.uid && *owner.uid == platform::ownUserId()) {
        return true;
    }
    if (!owner.tablesRead) {
        // Refusing everyone would leave the user without mail: served as
        // before the check existed, and said once.
        if (!m_ownerCheckUnavailable) {
            m_ownerCheckUnavailable = true;
            diag::recordError(kOwnerCheckUnavailable, kSessionOperation, GF_HERE);
        }
        return true;
    }
    refuseClient(client, kOwnUsersOnly);
    const std::string who = owner.uid ? "a program of user ID " + std::to_string(*owner.uid)
                                      : "a program whose user could not be found out (" +
                                            platform::addressToDotted(peer.address) + " port " +
                                            std::to_string(peer.port) + ")";
    diag::recordError("Refused " + who + ": " + kOwnUsersOnly, kSessionOperation, GF_HERE);
    return false;
}

// Told in place of the greeting, so the person sees why in the mail client.
void CMidPointServer::refuseClient(ByteStream& client, const std::string& sentence) {
    std::string line(kRefusalStart);
    line += sentence;
    line += "\r\n";
    // A client that has gone needs telling nothing, and its failure is no news.
    (void)m_io.writeAll(client, line, m_timeouts.io);
}

// STLS: the greeting came before the handshake; the client gets it as the
// server sent it, and the dialogue goes on with the client's first command.
CMidPointServer::SessionState CMidPointServer::passGreeting(Session& session,
                                                            std::string_view greeting) {
    const SlicedIo::Result sent = putBytes(session.client, greeting);
    session.note(sent.error);
    if (sent.end != SlicedIo::End::Done) {
        return session.ended(m_state.shutFlag ? "stopped" : "time-out");
    }
    m_state.flowBytes += static_cast<std::int64_t>(sent.count);
    return SessionState::CheckEnd;
}

// The catch-all's report: the last socket code the session met, if any.
void CMidPointServer::sessionFailed(int socketError) {
    m_summary.end = "failed";
    if (socketError != 0) {
        const std::string text = platform::socketErrorText(socketError);
        diag::recordError(" In catch all ", "MidpointServer::establishComm()", kWinsockLabel,
                          socketError, text, GF_HERE);
        m_context.desktop.showTimedBox(text);
    } else {
        diag::recordError(" In catch all, unknown error ", "MidpointServer::establishComm()",
                          GF_HERE);
        m_context.desktop.showTimedBox("Unknown Error in MidPointServer::establishComm()");
    }
}

// Each state does one step of the POP3 dialogue and names the next.
void CMidPointServer::runSession(Session& session, SessionState first) {
    SessionState state = first;
    while (state != SessionState::Ended) {
        switch (state) {
            case SessionState::RelayReply:
                state = relayReply(session);
                break;
            case SessionState::CheckEnd:
                state = checkEnd(session);
                break;
            case SessionState::RelayCommand:
                state = relayCommand(session);
                break;
            case SessionState::RefuseStartTls:
                state = refuseStartTls(session);
                break;
            case SessionState::Ended:
                break;
        }
    }
}

CMidPointServer::SessionState CMidPointServer::relayReply(Session& session) {
    const proxy::CommandClass& command = session.command;
    const RelayResult reply =
        recvSD1sendSD2(session.lastText.data(), session.pop3, session.client, command.multiLine,
                       command.retrieval, RelayExtras{command.capabilities, false});
    session.note(reply.socketError);
    // A server that has closed can answer nothing more; waiting for the
    // client's next command would only hold the client until time-out.
    if (reply.end == RelayEnd::PeerClosed) {
        return session.ended("server closed");
    }
    return SessionState::CheckEnd;
}

CMidPointServer::SessionState CMidPointServer::checkEnd(Session& session) {
    if (session.command.quit) {
        return session.ended("QUIT");
    }
    if (m_state.shutFlag) {
        return session.ended("stopped");
    }
    return SessionState::RelayCommand;
}

CMidPointServer::SessionState CMidPointServer::relayCommand(Session& session) {
    const RelayResult relayed =
        recvSD1sendSD2(session.lastText.data(), session.client, session.pop3, false, false,
                       RelayExtras{false, true});
    session.note(relayed.socketError);
    const std::size_t length = strnlen(session.lastText.data(), session.lastText.size());
    const proxy::CommandClass command =
        proxy::classifyCommand(std::string_view(session.lastText.data(), length));
    if (command.empty || (!command.startTls && !forwardHeldCommand(session, relayed.heldCommand))) {
        return commandFailed(session, relayed);
    }
    if (!command.startTls) {
        session.command = command;
        return SessionState::RelayReply;
    }
    if (relayed.heldCommand) {
        return SessionState::RefuseStartTls;
    }
    // Too long to have been held back, so already with the server: its reply
    // is relayed like any other.
    session.command = proxy::CommandClass{};
    return SessionState::RelayReply;
}

CMidPointServer::SessionState CMidPointServer::commandFailed(Session& session,
                                                             const RelayResult& relayed) {
    // A stop cuts the wait for a command short: that is no time-out.
    if (m_state.shutFlag) {
        return session.ended("stopped");
    }
    trace("Time Out", kSessionTrace, GF_HERE);
    m_context.desktop.showTimedBox("Timed Out!");
    return session.ended(relayed.end == RelayEnd::PeerClosed ? "client closed" : "time-out");
}

// No server reply follows: the proxy answered the command itself.
CMidPointServer::SessionState CMidPointServer::refuseStartTls(Session& session) {
    const SlicedIo::Result sent = putBytes(session.client, proxy::kStartTlsRefusal);
    session.note(sent.error);
    if (sent.end != SlicedIo::End::Done) {
        return session.ended(m_state.shutFlag ? "stopped" : "time-out");
    }
    return SessionState::CheckEnd;
}

bool CMidPointServer::forwardHeldCommand(Session& session, const std::optional<std::string>& held) {
    if (!held || held->empty()) {
        return true;
    }
    const SlicedIo::Result sent = putBytes(session.pop3, *held);
    session.note(sent.error);
    return sent.end == SlicedIo::End::Done;
}

void CMidPointServer::closeSession(ByteStream& client, ByteStream& pop3) {
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

ServerLink::Opened CMidPointServer::getPOP3Connection(ServerLink& link, ByteStream& client) {
    const std::optional<SessionSettings> session = readSessionSettings();
    if (!session) {
        refuseClient(client, "Glimmerfen could not read its settings file " +
                                 std::string(SettingsFile::kFileName));
        return ServerLink::Opened::Failed;
    }
    m_classificationHeader = session->classificationHeader;
    const ServerLink::Opened opened =
        link.open(proxy::ServerTarget{currentSettings(), session->security});
    if (opened != ServerLink::Opened::Failed) {
        return opened;
    }
    if (session->security.mode == Security::Plain) {
        raisePlainFailure(link.failure());
    }
    // When TLS was asked for, the person must learn why nothing came, and the
    // client's credentials never went anywhere.
    const std::string& sentence = link.failure().sentence;
    refuseClient(client, sentence);
    diag::recordError(sentence, kConnectionOperation, GF_HERE);
    m_context.desktop.showTimedBox(sentence);
    return ServerLink::Opened::Failed;
}

// Plain text keeps the error log's entries of old, step by step.
void CMidPointServer::raisePlainFailure(const ServerLink::Failure& failure) {
    using Step = ServerLink::Step;
    switch (failure.step) {
        case Step::Socket:
            throw PlainFailure{"Unable to create client socket for POP3", failure.code};
        case Step::Lookup:
            raiseSocketError("Can't find the POP3 server \"" + m_serverName + "\"",
                             kConnectionOperation, failure.code, GF_HERE);
        case Step::NonBlocking:
            raiseSocketError("ioctlsocket(POP3Socket,...) error", kConnectionOperation,
                             failure.code, GF_HERE);
        case Step::ConnectWait:
            raiseSocketError("connect(POP3Socket,...) select(), error", kConnectOperation,
                             failure.code, GF_HERE);
        case Step::Port:
        case Step::Connect:
        case Step::Secure:
            break;
    }
    raiseSocketError("connect(POP3Socket,...) error", kConnectOperation, failure.code, GF_HERE);
}

// ---------------------------------------------------------------- bytes

SlicedIo::Result CMidPointServer::getBytes(ByteStream& stream, std::span<char> buffer,
                                           std::chrono::milliseconds timeout) {
    const SlicedIo::Result read =
        m_io.read(stream, buffer.first(std::min(kReadSize, buffer.size())), timeout);
    if (read.end == SlicedIo::End::WaitFailed) {
        raiseSocketError("select(,&inputSet,,,)", "getBytes()", read.error, GF_HERE);
    }
    if (read.end == SlicedIo::End::TransferFailed) {
        raiseSocketError("recv()", "getBytes()", read.error, GF_HERE);
    }
    return read;
}

// What the client's cork holds goes out before any wait for the server, so a
// server that pauses in the middle of a message never keeps from the client
// what came before the pause (the system's own ceiling on a cork is 200 ms).
SlicedIo::Result CMidPointServer::getBytesUncorking(ByteStream& stream, std::span<char> buffer,
                                                    platform::StreamCork& cork) {
    const SlicedIo::Result ready = getBytes(stream, buffer, std::chrono::milliseconds(0));
    if (ready.end != SlicedIo::End::TimedOut) {
        return ready;
    }
    cork.flush();
    return getBytes(stream, buffer, m_timeouts.io);
}

SlicedIo::Result CMidPointServer::putBytes(ByteStream& stream, std::span<const char> bytes) {
    const SlicedIo::Result sent = m_io.writeAll(stream, bytes, m_timeouts.io);
    if (sent.end == SlicedIo::End::WaitFailed) {
        raiseSocketError("select(,,&outSet,,)", "putBytes()", sent.error, GF_HERE);
    }
    if (sent.end == SlicedIo::End::TransferFailed) {
        raiseSocketError("send()", "putBytes()", sent.error, GF_HERE);
    }
    return sent;
}

// ---------------------------------------------------------------- relay

void CMidPointServer::restartFlowWindow() {
    m_state.flowBytes = 0;
    m_state.flowTicks = 0;
    m_state.flowActive = true;
}

RelayResult CMidPointServer::cutShort(TextWindow& window, RelayEnd end, int socketError) {
    window.text[0] = '\0';
    return RelayResult{end, socketError, std::nullopt};
}

RelayResult CMidPointServer::reportStop(Stage stage) {
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
    diag::recordError(message, kRelayOperation, GF_HERE);
    return RelayResult{RelayEnd::Stopped, 0, std::nullopt};
}

// A write that did not get through: a stop is reported, anything else cuts
// the relay short.
RelayResult CMidPointServer::sendFailed(TextWindow& window, const SlicedIo::Result& sent,
                                        Stage stage) {
    if (sent.end == SlicedIo::End::Stopped) {
        return reportStop(stage);
    }
    return cutShort(window, RelayEnd::SendFailed, sent.error);
}

SlicedIo::Result CMidPointServer::sendOn(ByteStream& destination, std::string_view bytes) {
    if (bytes.empty()) {
        return SlicedIo::Result{};
    }
    return putBytes(destination, bytes);
}

RelayResult CMidPointServer::recvSD1sendSD2(char* lastText, ByteStream& source,
                                            ByteStream& destination, bool multiLine, bool retrieval,
                                            RelayExtras extras) {
    std::memset(lastText, 0, kLastTextCleared);
    TextWindow window{lastText};
    proxy::UnitEnd unit(multiLine);
    if (retrieval) {
        return relayRetrieval(window, unit, source, destination);
    }
    return relayPlain(window, unit, source, destination, extras);
}

// The read both relay paths make: at most 100 bytes, counted in the flow window.
CMidPointServer::ReadStep CMidPointServer::readStep(TextWindow& window, ByteStream& source,
                                                    std::span<char> buffer, Stage stage,
                                                    platform::StreamCork* cork) {
    window.restartIfFull();
    const SlicedIo::Result read = cork != nullptr ? getBytesUncorking(source, buffer, *cork)
                                                  : getBytes(source, buffer, m_timeouts.io);
    switch (read.end) {
        case SlicedIo::End::Done:
            m_state.flowBytes += static_cast<std::int64_t>(read.count);
            return ReadStep{read.count, std::nullopt};
        case SlicedIo::End::Stopped:
            return ReadStep{0, reportStop(stage)};
        case SlicedIo::End::Closed:
            return ReadStep{0, cutShort(window, RelayEnd::PeerClosed)};
        default:
            // A read that found nothing though the stream was ready ends as a
            // time-out does.
            return ReadStep{0, cutShort(window, RelayEnd::TimedOut, read.error)};
    }
}

// A retrieval is collected whole (up to the collect limit) before anything of
// it goes on, so that it can be recorded, rated and marked first.
RelayResult CMidPointServer::relayRetrieval(TextWindow& window, proxy::UnitEnd& unit,
                                            ByteStream& source, ByteStream& destination) {
    ++m_retrCount;
    m_context.gate.newMailArrived = true;
    trace("1", kRelayTrace, GF_HERE);
    restartFlowWindow();
    const Collected collected = collectRetrieval(window, unit, source);
    if (collected.end) {
        return *collected.end;
    }
    m_state.flowActive = true;
    const std::size_t sendLength = rateAndMark(collected, unit.multiLine());
    trace("3", kRelayTrace, GF_HERE);
    restartFlowWindow();
    // The client does without Nagle's delay, so that the end of a message is
    // not held for its acknowledgement; uncorked, a 100-byte piece may then go
    // out as a segment of its own. Corked, the pieces fill whole segments.
    platform::StreamCork cork(destination);
    if (std::optional<RelayResult> cut = sendCollected(window, destination, sendLength)) {
        return *cut;
    }
    if (collected.whole) {
        return RelayResult{};
    }
    // Past the collect limit the rest of the message passes on as it comes.
    return relayPlain(window, unit, source, destination, RelayExtras{}, &cork);
}

CMidPointServer::Collected CMidPointServer::collectRetrieval(TextWindow& window,
                                                             proxy::UnitEnd& unit,
                                                             ByteStream& source) {
    Collected collected;
    std::array<char, kReadSize> buffer{};
    bool full = false;
    // Every pass collects at least one byte, so the collect limit bounds the loop.
    while (!collected.whole && !full) {
        const ReadStep read = readStep(window, source, buffer, Stage::Collecting);
        if (read.end) {
            collected.end = read.end;
            return collected;
        }
        if (m_state.shutFlag) {
            collected.end = reportStop(Stage::Collecting);
            return collected;
        }
        window.count += read.count;
        full =
            collectPiece(window, unit, std::span<const char>(buffer.data(), read.count), collected);
    }
    m_messageBuf[collected.length] = '\0';
    return collected;
}

// Takes one read into m_messageBuf; true once the collect limit is reached.
// The piece is taken whole even past the limit, so the buffer holds
// kMaxCollected at most.
bool CMidPointServer::collectPiece(TextWindow& window, proxy::UnitEnd& unit,
                                   std::span<const char> piece, Collected& collected) {
    bool full = false;
    for (const char byte : piece) {
        window.put(byte);
        m_messageBuf[collected.length++] = byte;
        if (unit.inStatusLine()) {
            ++collected.statusLength;
        }
        if (unit.advance(byte)) {
            collected.whole = true;
            break;
        }
        if (collected.length >= kCollectLimit) {
            full = true;
        }
    }
    return full;
}

// Records and rates a message, marking it when it is spam: the length to send.
std::size_t CMidPointServer::rateAndMark(const Collected& collected, bool multiLine) {
    if (!multiLine) {
        // The error line as it arrived: lastText keeps only its last 100 to 199
        // bytes, which would cut a long one.
        trace("2b", kRelayTrace, GF_HERE);
        return collected.length;
    }
    trace("2a", kRelayTrace, GF_HERE);
    char* text = m_messageBuf.data() + collected.statusLength;
    const auto textLength = static_cast<int>(collected.length - collected.statusLength);
    m_lastListVerdict.reset();
    const int verdict = rateRetrievedMessage(text, textLength);
    proxy::Classification classification{m_lastListVerdict, std::nullopt, verdict == kSpam};
    if (verdict == kUndecided) {
        const BayesRating rating = m_context.bayes.rateText(
            std::string_view(text, static_cast<std::size_t>(textLength)));
        classification.spam = rating.spam;
        if (m_context.bayes.isEnabled() && m_context.bayes.tablePresent()) {
            classification.bayesRating = rating.rating;
        }
    }
    std::size_t length = collected.length;
    if (classification.spam) {
        ++m_summary.spam;
        const std::span<char> room(text, m_messageBuf.size() - collected.statusLength);
        length = collected.statusLength + static_cast<std::size_t>(addSpamToSubject(room, textLength));
    }
    if (!m_classificationHeader) {
        return length;
    }
    return addClassification(length, collected.statusLength, classification);
}

// The line goes first in the header, where no earlier line can hide it. The
// stored copy was written before, as the server sent it.
std::size_t CMidPointServer::addClassification(std::size_t length, std::size_t statusLength,
                                               const proxy::Classification& classification) {
    const std::string line = proxy::classificationLine(classification);
    if (line.size() > proxy::kMaxClassificationLine ||
        length + line.size() >= m_messageBuf.size()) {
        return length;
    }
    char* const text = m_messageBuf.data() + statusLength;
    std::memmove(text + line.size(), text, length - statusLength);
    std::memcpy(text, line.data(), line.size());
    return length + line.size();
}

// Sends in pieces of at most 100 bytes, so a stop is seen between them.
std::optional<RelayResult> CMidPointServer::sendCollected(TextWindow& window,
                                                          ByteStream& destination,
                                                          std::size_t length) {
    for (std::size_t offset = 0; offset < length;) {
        if (m_state.shutFlag) {
            return reportStop(Stage::Sending);
        }
        const std::size_t piece = std::min(kReadSize, length - offset);
        const SlicedIo::Result sent =
            putBytes(destination, std::span<const char>(m_messageBuf.data() + offset, piece));
        if (sent.end != SlicedIo::End::Done) {
            return sendFailed(window, sent, Stage::Sending);
        }
        m_state.flowBytes += static_cast<std::int64_t>(sent.count);
        offset += piece;
    }
    return std::nullopt;
}

RelayResult CMidPointServer::relayPlain(TextWindow& window, proxy::UnitEnd& unit,
                                        ByteStream& source, ByteStream& destination,
                                        RelayExtras extras, platform::StreamCork* cork) {
    m_state.flowActive = true;
    window.restart();
    trace("4", kRelayTrace, GF_HERE);
    restartFlowWindow();
    proxy::PassOn passOn(extras.capabilities, extras.holdCommand);
    RelayResult result = relayPieces(window, unit, source, destination, passOn, cork);
    result.heldCommand = passOn.held();
    return result;
}

// Passes each read on as it comes, until the unit's end or the relay's.
RelayResult CMidPointServer::relayPieces(TextWindow& window, proxy::UnitEnd& unit,
                                         ByteStream& source, ByteStream& destination,
                                         proxy::PassOn& passOn, platform::StreamCork* cork) {
    std::array<char, kReadSize> buffer{};
    for (;;) {
        const ReadStep read = readStep(window, source, buffer, Stage::Plain, cork);
        if (read.end) {
            return *read.end;
        }
        const std::string_view piece(buffer.data(), read.count);
        const SlicedIo::Result passed = sendOn(destination, passOn.feed(piece));
        if (passed.end != SlicedIo::End::Done) {
            return sendFailed(window, passed, Stage::Plain);
        }
        if (m_state.shutFlag) {
            return reportStop(Stage::Plain);
        }
        const std::size_t taken = unit.take(piece);
        window.put(piece.substr(0, taken));
        window.count += read.count;
        if (unit.ended()) {
            return finishPlain(window, destination, passOn);
        }
    }
}

RelayResult CMidPointServer::finishPlain(TextWindow& window, ByteStream& destination,
                                         proxy::PassOn& passOn) {
    const SlicedIo::Result sent = sendOn(destination, passOn.finish());
    if (sent.end != SlicedIo::End::Done) {
        return cutShort(window, RelayEnd::SendFailed, sent.error);
    }
    m_state.flowActive = true;
    trace("5", kRelayTrace, GF_HERE);
    return RelayResult{};
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
        if (m_context.database.addNewEmail(index, header, std::string_view(text, size))) {
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
    m_lastListVerdict = verdict;
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
        diag::recordError("Some Error", "CMidPointServer::addSpamToSubject", GF_HERE);
        return length;
    }
}
