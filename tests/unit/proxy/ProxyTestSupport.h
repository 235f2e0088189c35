#pragma once

// A scripted POP3 server and a mail client on 127.0.0.1 for the proxy's tests,
// and a fixture that runs the proxy between them with short time-outs.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Event.h"
#include "platform/TcpSocket.h"
#include "proxy/MidpointServer.h"
#include "proxy/ProxyState.h"
#include "proxy/SessionGate.h"
#include "proxy/ServerThread.h"
#include "rating/BayesFilter.h"
#include "rating/DnsResolver.h"
#include "rating/FilterList.h"
#include "support/StoreFixture.h"

namespace proxytest {

using namespace std::chrono_literals;
using platform::TcpSocket;

// Every wait of the helpers ends after this; a test that hits it fails on its
// assertions instead of hanging.
constexpr auto kPatience = 5s;

// A connected pair of loopback sockets: first the connecting end, then the
// accepted one.
inline std::pair<TcpSocket, TcpSocket> connectedPair() {
    TcpSocket listener;
    EXPECT_TRUE(listener.open());
    EXPECT_TRUE(listener.bindLoopback(0));
    EXPECT_TRUE(listener.listen(1));
    TcpSocket near;
    EXPECT_TRUE(near.open());
    EXPECT_EQ(near.connectStart({127, 0, 0, 1}, listener.boundPort()),
              TcpSocket::Connect::Connected);
    TcpSocket far = listener.accept();
    EXPECT_TRUE(far.isOpen());
    return {std::move(near), std::move(far)};
}

// One end of a test conversation, with bounded blocking helpers.
class Peer {
  public:
    Peer() = default;
    explicit Peer(TcpSocket socket) : m_socket(std::move(socket)) {}

    bool connectTo(std::uint16_t port) {
        return m_socket.open() &&
               m_socket.connectStart({127, 0, 0, 1}, port) == TcpSocket::Connect::Connected;
    }

    // Sends everything, `piece` bytes at a time; with a pause between pieces
    // the reader mostly gets each piece in a read of its own.
    bool send(std::string_view bytes, std::size_t piece = SIZE_MAX,
              std::chrono::microseconds pause = 0us) {
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t size = std::min(piece, bytes.size() - at);
            if (m_socket.waitWritable(kPatience) != TcpSocket::Wait::Ready) {
                return false;
            }
            const int sent = m_socket.send(bytes.substr(at, size));
            if (sent <= 0) {
                return false;
            }
            at += static_cast<std::size_t>(sent);
            if (pause.count() > 0) {
                std::this_thread::sleep_for(pause);
            }
        }
        return true;
    }

    // Reads until `bytes` ends with `end`; nullopt on close, failure or time-out.
    std::optional<std::string> readUntil(std::string_view end, std::size_t most = 1 << 20) {
        std::string bytes;
        while (!bytes.ends_with(end)) {
            if (bytes.size() >= most || !readSome(bytes, 1)) {
                return std::nullopt;
            }
        }
        return bytes;
    }
    std::optional<std::string> readLine() { return readUntil("\r\n", 4096); }
    std::optional<std::string> readMultiLine() { return readUntil("\r\n.\r\n"); }

    // Reads until the peer closes; false when it did not close in time.
    bool readToClose(std::string& bytes) {
        for (int reads = 0; reads < 1'000'000; ++reads) {
            if (m_socket.waitReadable(kPatience) != TcpSocket::Wait::Ready) {
                return false;
            }
            char buffer[4096];
            const int count = m_socket.receive(buffer);
            if (count <= 0) {
                return true;
            }
            bytes.append(buffer, static_cast<std::size_t>(count));
        }
        return false;
    }

    void close() { m_socket.close(); }
    TcpSocket& socket() { return m_socket; }

  private:
    // Appends at most `most` bytes; false on close, failure or time-out.
    bool readSome(std::string& bytes, std::size_t most) {
        if (m_socket.waitReadable(kPatience) != TcpSocket::Wait::Ready) {
            return false;
        }
        char buffer[4096];
        const int count = m_socket.receive(std::span<char>(buffer, std::min(most, sizeof buffer)));
        if (count <= 0) {
            return false;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
        return true;
    }

    TcpSocket m_socket;
};

// How the scripted server answers; the defaults make a plain mailbox.
struct MailboxScript {
    std::vector<std::string> messages;
    // Bytes per send of every reply, with a short pause between sends.
    std::size_t piece = SIZE_MAX;
    // The number of a message whose RETR reply is cut off half-way by closing.
    int closeInRetr = 0;
    // The number of a message whose RETR reply stops after its status line and
    // first bytes until the test releases the server.
    int stallInRetr = 0;
    std::string capabilities = "+OK\r\nTOP\r\nSTLS\r\nUSER\r\nPIPELINING\r\nUIDL\r\n.\r\n";
};

// A POP3 server on 127.0.0.1 that serves `sessions` connections, one after
// another, from a script.
class FakePop3Server {
  public:
    explicit FakePop3Server(MailboxScript script, int sessions = 1)
        : m_script(std::move(script)), m_sessions(sessions) {
        EXPECT_TRUE(m_listener.open());
        EXPECT_TRUE(m_listener.bindLoopback(0));
        EXPECT_TRUE(m_listener.listen(4));
        m_port = m_listener.boundPort();
        m_thread = std::thread([this] { run(); });
    }
    ~FakePop3Server() {
        release();
        m_thread.join();
    }
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    std::uint16_t port() const { return m_port; }
    void release() { m_released.set(); }
    // Waits until a stalling RETR reply has sent its first bytes.
    bool waitStalled() { return m_stalled.wait(kPatience); }
    // The commands received, in order, as sent (without CR LF).
    std::vector<std::string> commands() const {
        std::lock_guard lock(m_mutex);
        return m_commands;
    }
    int sessionsServed() const { return m_served.load(); }

  private:
    void run() {
        for (int session = 0; session < m_sessions; ++session) {
            if (m_listener.waitReadable(kPatience) != TcpSocket::Wait::Ready) {
                return;
            }
            Peer client(m_listener.accept());
            serve(client);
            client.close();
            ++m_served;
        }
    }

    bool reply(Peer& client, std::string_view bytes) {
        return client.send(bytes, m_script.piece, m_script.piece == SIZE_MAX ? 0us : 200us);
    }

    void serve(Peer& client) {
        if (!reply(client, "+OK fake POP3 ready\r\n")) {
            return;
        }
        for (int commands = 0; commands < 1000; ++commands) {
            const std::optional<std::string> line = client.readLine();
            if (!line) {
                return;
            }
            const std::string command = line->substr(0, line->size() - 2);
            {
                std::lock_guard lock(m_mutex);
                m_commands.push_back(command);
            }
            std::string word;
            int number = 0;
            const auto blank = command.find(' ');
            word = command.substr(0, blank);
            for (char& c : word) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            const bool hasArgument = blank != std::string::npos;
            if (hasArgument) {
                number = std::atoi(command.c_str() + blank + 1);
            }
            const bool known = number >= 1 && number <= static_cast<int>(m_script.messages.size());
            const std::string message = known ? m_script.messages[number - 1] : "";
            bool ok = true;
            if (word == "QUIT") {
                reply(client, "+OK bye\r\n");
                return;
            } else if (word == "CAPA") {
                ok = reply(client, m_script.capabilities);
            } else if (word == "STLS") {
                ok = reply(client, "+OK begin TLS\r\n");
            } else if (word == "LIST" && !hasArgument) {
                std::string listing = "+OK\r\n";
                for (std::size_t i = 0; i < m_script.messages.size(); ++i) {
                    listing += std::to_string(i + 1) + " " +
                               std::to_string(m_script.messages[i].size()) + "\r\n";
                }
                ok = reply(client, listing + ".\r\n");
            } else if (word == "UIDL" && !hasArgument) {
                std::string listing = "+OK\r\n";
                for (std::size_t i = 0; i < m_script.messages.size(); ++i) {
                    listing += std::to_string(i + 1) + " uid" + std::to_string(i + 1) + "\r\n";
                }
                ok = reply(client, listing + ".\r\n");
            } else if ((word == "LIST" || word == "UIDL") && known) {
                ok = reply(client, "+OK " + std::to_string(number) + " " +
                                       std::to_string(message.size()) + "\r\n");
            } else if (word == "TOP" && known) {
                ok = reply(client,
                           "+OK\r\n" + message.substr(0, message.find("\r\n\r\n") + 4) + ".\r\n");
            } else if (word == "RETR" && known) {
                const std::string whole = "+OK message follows\r\n" + message + ".\r\n";
                if (number == m_script.closeInRetr) {
                    reply(client, whole.substr(0, whole.size() / 2));
                    return;
                }
                if (number == m_script.stallInRetr) {
                    reply(client, whole.substr(0, 30));
                    m_stalled.set();
                    m_released.wait(kPatience);
                    return;
                }
                ok = reply(client, whole);
            } else if (word == "USER" || word == "PASS" || word == "NOOP" || word == "STAT") {
                ok = reply(client, "+OK\r\n");
            } else {
                ok = reply(client, "-ERR no such message\r\n");
            }
            if (!ok) {
                return;
            }
        }
    }

    MailboxScript m_script;
    const int m_sessions;
    TcpSocket m_listener;
    std::uint16_t m_port = 0;
    platform::Event m_released{platform::Event::Reset::Manual};
    platform::Event m_stalled{platform::Event::Reset::Manual};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_commands;
    std::atomic<int> m_served{0};
    std::thread m_thread;
};

// Time-outs short enough for tests, long enough never to fire by accident on
// a slow machine (a test that relies on one firing sets its own).
inline ProxyTimeouts shortTimeouts() {
    ProxyTimeouts timeouts;
    timeouts.io = 4000ms;
    timeouts.connect = 4000ms;
    timeouts.listenerWait = 20ms;
    timeouts.refreshWait = 2000ms;
    timeouts.mailMovePoll = 5ms;
    return timeouts;
}

// The proxy's objects in a fresh working directory, and the proxy run on its
// server thread between a FakePop3Server and Peers.
class ProxyFixture : public StoreFixture {
  protected:
    ProxyFixture()
        : m_white(kWhiteListFile),
          m_black(kBlackListFile),
          m_bayes(db(), desktop()),
          m_resolver(db(), desktop()) {}

    ~ProxyFixture() override { m_server.reset(); }

    ProxyContext context() {
        return ProxyContext{db(),
                            m_bayes,
                            m_white,
                            m_black,
                            m_resolver,
                            desktop(),
                            m_state,
                            m_gate,
                            m_refreshDone,
                            [this] {
                                if (m_passHook) {
                                    m_passHook();
                                }
                            },
                            [this](std::uint16_t port) {
                                m_port = port;
                                m_listening.set();
                            },
                            [this](const SessionSummary& summary) {
                                {
                                    std::lock_guard lock(m_summaryMutex);
                                    m_summaries.push_back(summary);
                                }
                                m_summaryAdded.notify_all();
                            }};
    }

    void useServer(std::uint16_t pop3Port, int localPort = 0) {
        Pop3Settings settings = db().getPOP3Settings();
        settings.useDomainName = false;
        settings.ip1 = 127;
        settings.ip2 = 0;
        settings.ip3 = 0;
        settings.ip4 = 1;
        settings.pop3Port = pop3Port;
        settings.localPort = localPort;
        db().setPOP3Settings(settings);
    }

    // Starts the server thread and waits until it listens; the proxy's port.
    std::uint16_t startProxy(const ProxyTimeouts& timeouts = shortTimeouts()) {
        m_listening.reset();
        m_server = std::make_unique<ServerThread>(context(), timeouts);
        EXPECT_TRUE(m_server->startServerThread());
        EXPECT_TRUE(m_listening.wait(kPatience));
        return m_port.load();
    }

    void blackListSubject(const std::string& phrase) {
        ListRows rows;
        m_black.showInList(rows);
        rows.push_back({phrase, "Subject", "Insensitive"});
        ASSERT_TRUE(m_black.replaceFromList(rows));
    }

    // Waits until `count` sessions have ended; their summaries.
    std::vector<SessionSummary> waitForSessions(std::size_t count) {
        std::unique_lock lock(m_summaryMutex);
        m_summaryAdded.wait_for(lock, kPatience, [&] { return m_summaries.size() >= count; });
        return m_summaries;
    }

    // A client through the proxy, greeted.
    Peer client(std::uint16_t port) {
        Peer peer;
        EXPECT_TRUE(peer.connectTo(port));
        const auto greeting = peer.readLine();
        EXPECT_EQ(greeting.value_or(""), "+OK fake POP3 ready\r\n");
        return peer;
    }

    FilterList m_white;
    FilterList m_black;
    BayesFilter m_bayes;
    DnsResolver m_resolver;
    ProxyState m_state;
    SessionGate m_gate;
    platform::Event m_refreshDone{platform::Event::Reset::Manual};
    std::function<void()> m_passHook;
    platform::Event m_listening{platform::Event::Reset::Manual};
    std::atomic<std::uint16_t> m_port{0};
    std::mutex m_summaryMutex;
    std::condition_variable m_summaryAdded;
    std::vector<SessionSummary> m_summaries;
    std::unique_ptr<ServerThread> m_server;
};

// A message of about `size` bytes with the given Subject.
inline std::string makeMessage(const std::string& subject, std::size_t size = 300) {
    std::string text = "From: sender@example.org\r\nTo: me@example.org\r\nSubject: " + subject +
                       "\r\nDate: Tue, 7 Mar 2006 08:05:00 +0000\r\n\r\n";
    int line = 0;
    while (text.size() + 2 < size) {
        std::string body = "line " + std::to_string(++line) + " of the body, nothing to see";
        if (line % 7 == 0) {
            body = ".." + body;  // dot-stuffed as it travels
        }
        const std::size_t room = size - text.size() - 2;
        if (room < body.size()) {
            body = std::string(room, 'x');
        }
        text += body + "\r\n";
    }
    return text;
}

}  // namespace proxytest
