#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "analysis/HeaderParser.h"
#include "platform/TcpSocket.h"
#include "proxy/FlowMonitor.h"
#include "proxy/SpamMarker.h"
#include "proxy/Terminator.h"
#include "rating/MessageRater.h"

class BayesFilter;
class CDatabase;
class Desktop;
class DnsResolver;
class FilterList;
struct ProxyState;
namespace platform {
class Event;
}

// How one client session went, for whoever keeps a log of them.
struct SessionSummary {
    int retrieved = 0;  // RETR commands relayed
    int recorded = 0;   // messages written to New Emails
    int spam = 0;       // messages given the flag word
    // "QUIT", "time-out", "server closed", "stopped" or "failed".
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
    ProxyState& state;
    // Set by the views once they have refreshed after a session.
    platform::Event& refreshDoneEvent;
    // Called once per listener pass: the check for a scheduled filter build.
    std::function<void()> listenerPass;
    // Told the port the listener took, once it listens.
    std::function<void(std::uint16_t)> listening;
    // Told at the end of each client session.
    std::function<void(const SessionSummary&)> sessionEnded;
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

// A failure reported by its message alone; socket failures are CErrors.
struct PlainFailure {
    std::string message;
};

// How the relay treats a unit beyond finding its end.
struct RelayExtras {
    // A capability listing: "STLS" and "PIPELINING" are left out of it.
    bool capabilities = false;
    // A client command: held back until its line is complete, so that the
    // session can answer it itself instead of passing it on.
    bool holdCommand = false;
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
    static constexpr std::size_t kMessageBufSize = kMaxCollected + proxy::kMaxMarkGrowth + 1;
    static constexpr std::size_t kLastTextSize = 300;
    static constexpr int kMaxRecordedRetrievals = 90;
    // Longest command held back whole; longer ones pass on as they come.
    static constexpr std::size_t kHeldCommandLimit = 255;

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
    // Serves the client connection waiting on the listening socket.
    void establishComm();
    // A non-blocking socket connected (or connecting) to the POP3 server.
    void getPOP3Connection(platform::TcpSocket& socket);

    // At most 100 bytes into `buffer` (room for 101) once the socket is
    // readable: the count, 0 when the peer closed, -1 on time-out or stop.
    int getBytes(platform::TcpSocket& socket, char* buffer);
    // All `length` bytes, waiting for writability before each send: the count,
    // or -1 when the socket did not take them in time.
    int putBytes(platform::TcpSocket& socket, const char* data, int length);

    // Relays one server reply or client command. `lastText` (at least 300
    // bytes) receives the last 100 to 199 bytes that arrived, 0-terminated.
    bool recvSD1sendSD2(char* lastText, platform::TcpSocket& source,
                        platform::TcpSocket& destination, bool multiLine, bool retrieval,
                        RelayExtras extras = {});

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
    enum class RelayEnd { Complete, PeerClosed, TimedOut, SendFailed, Stopped };
    enum class Stage { Collecting, Sending, Plain };

    // The window of lastText: where the next byte goes and how many came.
    struct TextWindow {
        char* text;
        std::size_t position = 0;
        std::size_t count = 0;
        void restartIfFull();
        void restart();
        void put(char byte);
    };

    void readSettings();
    bool bindListener();
    void listenerPass();
    bool beginSession();
    void waitForViewRefresh();
    void runSession(platform::TcpSocket& client, platform::TcpSocket& pop3);
    void closeSession(platform::TcpSocket& client, platform::TcpSocket& pop3);
    bool forwardHeldCommand(platform::TcpSocket& pop3);

    platform::TcpSocket::Wait waitFor(platform::TcpSocket& socket, bool readable,
                                      std::chrono::milliseconds timeout);
    bool relayRetrieval(TextWindow& window, proxy::UnitEnd& unit, platform::TcpSocket& source,
                        platform::TcpSocket& destination);
    bool relayPlain(TextWindow& window, proxy::UnitEnd& unit, platform::TcpSocket& source,
                    platform::TcpSocket& destination, RelayExtras extras);
    bool sendOn(platform::TcpSocket& destination, const char* data, std::size_t length);
    bool cutShort(TextWindow& window, RelayEnd end);
    bool reportStop(Stage stage);
    void restartFlowWindow();
    [[noreturn]] void raiseSocketError(const std::string& message, const std::string& operation,
                                       int code, int line, const std::string& file);

    const ProxyContext m_context;
    const ProxyTimeouts m_timeouts;
    ProxyState& m_state;

    std::string m_spamFlagWord;
    int m_retrCount = 0;
    bool m_winsockStarted = false;
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

    std::chrono::milliseconds m_ioTimeout;
    CHeaderParser m_parser;
    MessageRater m_rater;
    FlowMonitor m_flowMonitor;

    // The code of the last socket failure in the session, for its catch-all.
    int m_lastSocketError = 0;
    // Set when a wait ended because shutFlag went up rather than by time.
    bool m_waitStopped = false;
    RelayEnd m_relayEnd = RelayEnd::Complete;
    std::string m_heldCommand;
    bool m_commandHeld = false;
    SessionSummary m_summary;
};
