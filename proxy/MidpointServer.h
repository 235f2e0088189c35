#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "analysis/HeaderParser.h"
#include "platform/ByteStream.h"
#include "platform/TcpSocket.h"
#include "proxy/ClassificationHeader.h"
#include "proxy/FlowMonitor.h"
#include "proxy/PassOn.h"
#include "proxy/ServerLink.h"
#include "proxy/SlicedIo.h"
#include "proxy/SpamMarker.h"
#include "proxy/Terminator.h"
#include "rating/MessageRater.h"
#include "store/ServerSecurity.h"

class BayesFilter;
class CDatabase;
class Desktop;
class DnsResolver;
class FilterList;
class SessionGate;
struct ProxyState;
struct Settings;
namespace platform {
class Event;
class StreamCork;
}  // namespace platform

// How one client session went, for whoever keeps a log of them.
struct SessionSummary {
    int retrieved = 0;  // RETR commands relayed
    int recorded = 0;   // messages written to New Emails
    int spam = 0;       // messages given the flag word
    // "QUIT", "time-out", "server closed", "stopped", "failed", or "refused"
    // (a program of another user connected).
    std::string end;
};

// What the proxy works with, made once by whoever owns the process's objects.
struct ProxyContext {
    CDatabase& database;
    BayesFilter& bayes;
    FilterList& whiteList;
    FilterList& blackList;
    DnsResolver& resolver;
    Desktop& desktop;
    // This account's proxy.
    ProxyState& state;
    // What the sessions of every account share with the window's mail moves.
    SessionGate& gate;
    // This proxy's own: set by the views once they have refreshed after one
    // of its sessions, so two sessions ending together each get theirs.
    platform::Event& refreshDoneEvent;
    // Called once per listener pass: the check for a scheduled filter build.
    std::function<void()> listenerPass;
    // Told the port the listener took, once it listens.
    std::function<void(std::uint16_t)> listening;
    // Told at the end of each client session.
    std::function<void(const SessionSummary&)> sessionEnded;
    // The account served: "main" is the store's POP3 settings, any other is
    // read from the settings file.
    std::string account = "main";
};

// The waits of the proxy. The defaults are the real ones; tests shorten them.
struct ProxyTimeouts {
    std::chrono::milliseconds io{60000};
    std::chrono::milliseconds connect{10000};
    // The listener's wait for a client, and the longest a stop waits to be
    // seen by any other wait of the proxy.
    std::chrono::milliseconds listenerWait{500};
    std::chrono::milliseconds flowTick{100};
    int flowWindowTicks = 600;
    std::chrono::milliseconds refreshWait{10000};
    std::chrono::milliseconds mailMovePoll{250};
};

// A failure reported by its message alone; socket failures are CErrors. A
// socket call that failed first leaves its code for the session's report.
struct PlainFailure {
    std::string message;
    int socketError = 0;
};

// How the relay treats a unit beyond finding its end.
struct RelayExtras {
    // A capability listing: "STLS" and "PIPELINING" are left out of it.
    bool capabilities = false;
    // A client command: held back until its line is complete, so that the
    // session can answer it itself instead of passing it on.
    bool holdCommand = false;
};

// How one relayed unit ended.
enum class RelayEnd { Complete, PeerClosed, TimedOut, SendFailed, Stopped };

// What one relayed unit came to.
struct RelayResult {
    RelayEnd end = RelayEnd::Complete;
    // 10035 when a stream was ready yet had nothing, which cut the relay
    // short; the session's catch-all names the last such code.
    int socketError = 0;
    // The client command held back whole (RelayExtras::holdCommand) and not
    // yet passed on; nothing when holding was not asked for or the command
    // was too long to hold and went on.
    std::optional<std::string> heldCommand;

    bool complete() const { return end == RelayEnd::Complete; }
};

// The midpoint server: listens on 127.0.0.1 for the mail client, serves one
// client at a time by relaying the POP3 dialogue to the user's server, and
// collects, records, rates and marks each retrieved message on its way. Made
// by the server thread each time it starts.
class CMidPointServer {
  public:
    static constexpr std::size_t kReadSize = 100;
    static constexpr std::size_t kCollectLimit = 4900;
    static constexpr std::size_t kMaxCollected = kCollectLimit + kReadSize - 1;
    static constexpr std::size_t kMessageBufSize =
        kMaxCollected + proxy::kMaxMarkGrowth + proxy::kMaxClassificationLine + 1;
    static constexpr std::size_t kLastTextSize = 300;
    static constexpr int kMaxRecordedRetrievals = 90;
    static constexpr std::size_t kHeldCommandLimit = proxy::PassOn::kHeldCommandLimit;

    // List verdicts of rateRetrievedMessage.
    static constexpr int kUndecided = 0;
    static constexpr int kNotSpam = 1;
    static constexpr int kSpam = 2;

    explicit CMidPointServer(const ProxyContext& context, const ProxyTimeouts& timeouts = {});
    ~CMidPointServer();
    CMidPointServer(const CMidPointServer&) = delete;
    CMidPointServer& operator=(const CMidPointServer&) = delete;

    // The listener loop: returns when shutFlag is set, after a failure, or when
    // the local port cannot be bound; always leaves shutFlag set.
    void server();
    // Serves the client connection waiting on the listening socket. False
    // when it was refused before any session began (another user's program).
    bool establishComm();
    // Opens `link` to the POP3 server as the settings say. Stopped when a stop
    // came first (while the server's name was being looked up, or during the
    // handshake): the session ends without a server. Failed when a secured
    // link could not be made: the client has had its "-ERR" line. Plain-text
    // failures are thrown, as ever.
    proxy::ServerLink::Opened getPOP3Connection(proxy::ServerLink& link,
                                                platform::ByteStream& client);

    // Relays one server reply or client command. `lastText` (at least 300
    // bytes) receives the last 100 to 199 bytes that arrived, 0-terminated,
    // and is emptied when the relay is cut short by a peer. Socket failures
    // other than a would-block are thrown as CErrors.
    [[nodiscard]] RelayResult recvSD1sendSD2(char* lastText, platform::ByteStream& source,
                                             platform::ByteStream& destination, bool multiLine,
                                             bool retrieval, RelayExtras extras = {});

    // Records a retrieved message (without its status line) in New Emails and
    // asks the lists: kNotSpam, kSpam or kUndecided. `text` must have room for
    // a 0 byte after `length`.
    int rateRetrievedMessage(char* text, int length);
    // Marks the text at the Subject offsets of the last rating's parse; returns
    // the new length, or the old one (text unchanged) when marking failed.
    int addSpamToSubject(std::span<char> text, int length);

    const std::string& spamFlagWord() const { return m_spamFlagWord; }
    int retrCount() const { return m_retrCount; }

  private:
    enum class Stage { Collecting, Sending, Plain };
    // The session loop's states: relay the server's reply to the last command
    // (the greeting at first); see whether the session is over; relay the
    // client's next command; answer "STLS" in the server's stead.
    enum class SessionState { RelayReply, CheckEnd, RelayCommand, RefuseStartTls, Ended };
    struct Session;

    // The window of lastText: where the next byte goes and how many came.
    struct TextWindow {
        char* text;
        std::size_t position = 0;
        std::size_t count = 0;
        void restartIfFull();
        void restart();
        void put(char byte);
        void put(std::string_view bytes);
    };
    // One read of the relay: the bytes it brought, or how the relay ended.
    struct ReadStep {
        std::size_t count = 0;
        std::optional<RelayResult> end;
    };
    // A retrieval as collected into m_messageBuf.
    struct Collected {
        std::size_t length = 0;
        std::size_t statusLength = 0;
        // The terminator came within the collect limit.
        bool whole = false;
        std::optional<RelayResult> end;
    };

    // What a session goes by, read from the files when it starts.
    struct SessionSettings {
        ServerSecurity security;
        bool classificationHeader = false;
    };

    void readSettings();
    void readSettings(const Settings& file);
    Pop3Settings currentSettings() const;
    std::optional<SessionSettings> readSessionSettings();
    void keepLocalPort(int port);
    [[noreturn]] void raisePlainFailure(const proxy::ServerLink::Failure& failure);
    void refuseClient(platform::ByteStream& client, const std::string& sentence);
    bool fromOwnUser(platform::TcpSocket& client);
    bool bindListener();
    void listenerPass();
    bool beginSession();
    void refreshViews();
    void waitForViewRefresh();
    void closeSession(platform::ByteStream& client, platform::ByteStream& pop3);

    void sessionFailed(int socketError);
    void runSession(Session& session, SessionState first);
    SessionState passGreeting(Session& session, std::string_view greeting);
    SessionState relayReply(Session& session);
    SessionState checkEnd(Session& session);
    SessionState relayCommand(Session& session);
    SessionState commandFailed(Session& session, const RelayResult& relayed);
    SessionState refuseStartTls(Session& session);
    bool forwardHeldCommand(Session& session, const std::optional<std::string>& held);

    proxy::SlicedIo::Result getBytes(platform::ByteStream& stream, std::span<char> buffer,
                                     std::chrono::milliseconds timeout);
    proxy::SlicedIo::Result getBytesUncorking(platform::ByteStream& stream, std::span<char> buffer,
                                              platform::StreamCork& cork);
    proxy::SlicedIo::Result putBytes(platform::ByteStream& stream, std::span<const char> bytes);
    ReadStep readStep(TextWindow& window, platform::ByteStream& source, std::span<char> buffer,
                      Stage stage, platform::StreamCork* cork = nullptr);
    RelayResult relayRetrieval(TextWindow& window, proxy::UnitEnd& unit,
                               platform::ByteStream& source, platform::ByteStream& destination);
    Collected collectRetrieval(TextWindow& window, proxy::UnitEnd& unit,
                               platform::ByteStream& source);
    bool collectPiece(TextWindow& window, proxy::UnitEnd& unit, std::span<const char> piece,
                      Collected& collected);
    std::size_t rateAndMark(const Collected& collected, bool multiLine);
    std::size_t addClassification(std::size_t length, std::size_t statusLength,
                                  const proxy::Classification& classification);
    std::optional<RelayResult> sendCollected(TextWindow& window, platform::ByteStream& destination,
                                             std::size_t length);
    RelayResult relayPlain(TextWindow& window, proxy::UnitEnd& unit, platform::ByteStream& source,
                           platform::ByteStream& destination, RelayExtras extras,
                           platform::StreamCork* cork = nullptr);
    RelayResult relayPieces(TextWindow& window, proxy::UnitEnd& unit, platform::ByteStream& source,
                            platform::ByteStream& destination, proxy::PassOn& passOn,
                            platform::StreamCork* cork);
    RelayResult finishPlain(TextWindow& window, platform::ByteStream& destination,
                            proxy::PassOn& passOn);
    proxy::SlicedIo::Result sendOn(platform::ByteStream& destination, std::string_view bytes);
    RelayResult sendFailed(TextWindow& window, const proxy::SlicedIo::Result& sent, Stage stage);
    static RelayResult cutShort(TextWindow& window, RelayEnd end, int socketError = 0);
    RelayResult reportStop(Stage stage);
    void restartFlowWindow();

    const ProxyContext m_context;
    const ProxyTimeouts m_timeouts;
    ProxyState& m_state;

    std::string m_spamFlagWord;
    int m_retrCount = 0;
    bool m_winsockStarted = false;
    // Said once per listener: the system hides who connects.
    bool m_ownerCheckUnavailable = false;
    std::array<char, kMessageBufSize> m_messageBuf{};
    platform::TcpSocket m_oServSocket;

    // The POP3 settings as last read from the store.
    std::uint8_t m_ip1 = 0;
    std::uint8_t m_ip2 = 0;
    std::uint8_t m_ip3 = 0;
    std::uint8_t m_ip4 = 0;
    std::string m_serverName;
    int m_pop3Port = 110;
    int m_localPort = 1070;
    bool m_useDomainName = true;
    bool m_classificationHeader = false;
    // The list verdict of the last rated message, if a list decided.
    std::optional<Verdict> m_lastListVerdict;

    proxy::SlicedIo m_io;
    CHeaderParser m_parser;
    MessageRater m_rater;
    FlowMonitor m_flowMonitor;
    SessionSummary m_summary;
};
