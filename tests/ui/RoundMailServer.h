#pragma once

// A POP3 server on 127.0.0.1 whose every session offers a mailbox of its own,
// for tests that fetch the same account round after round and must tell each
// stored copy apart.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/TcpSocket.h"
#include "proxy/ProxyTestSupport.h"

class RoundMailServer {
  public:
    // The messages of the session numbered from 0, each dot-stuffed and
    // ending with CR LF.
    using Mailbox = std::function<std::vector<std::string>(int session)>;

    explicit RoundMailServer(Mailbox mailbox) : m_mailbox(std::move(mailbox)) {
        if (m_listener.open() && m_listener.bindLoopback(0) && m_listener.listen(4)) {
            m_port = m_listener.boundPort();
        }
        m_thread = std::thread([this] { run(); });
    }
    ~RoundMailServer() {
        m_stop = true;
        m_thread.join();
    }
    RoundMailServer(const RoundMailServer&) = delete;
    RoundMailServer& operator=(const RoundMailServer&) = delete;

    // 0 when the listener could not be set up.
    std::uint16_t port() const { return m_port; }
    int sessionsServed() const { return m_served.load(); }

    // The reply to RETR of `message`, as the client must receive it.
    static std::string retrieval(const std::string& message) {
        return "+OK message follows\r\n" + message + ".\r\n";
    }

  private:
    // About an hour of idle polls: a test that forgets its server still ends.
    static constexpr int kMostPolls = 72000;

    void run() {
        for (int poll = 0; poll < kMostPolls && !m_stop && m_port != 0; ++poll) {
            if (m_listener.waitReadable(std::chrono::milliseconds(50)) !=
                platform::TcpSocket::Wait::Ready) {
                continue;
            }
            proxytest::Peer client(m_listener.accept());
            serve(client, m_mailbox(m_served.load()));
            client.close();
            ++m_served;
        }
    }

    static void serve(proxytest::Peer& client, const std::vector<std::string>& messages) {
        if (!client.send("+OK round server ready\r\n")) {
            return;
        }
        for (int commands = 0; commands < 1000; ++commands) {
            const std::optional<std::string> line = client.readLine();
            if (!line || !client.send(answer(line->substr(0, line->size() - 2), messages)) ||
                line->starts_with("QUIT")) {
                return;
            }
        }
    }

    static std::string answer(const std::string& command,
                              const std::vector<std::string>& messages) {
        if (command == "QUIT") {
            return "+OK bye\r\n";
        }
        if (command.starts_with("USER ") || command.starts_with("PASS ")) {
            return "+OK\r\n";
        }
        if (command == "STAT") {
            std::size_t octets = 0;
            for (const std::string& message : messages) {
                octets += message.size();
            }
            return "+OK " + std::to_string(messages.size()) + " " + std::to_string(octets) + "\r\n";
        }
        if (command.starts_with("RETR ")) {
            const int number = std::atoi(command.c_str() + 5);
            if (number >= 1 && number <= static_cast<int>(messages.size())) {
                return retrieval(messages[static_cast<std::size_t>(number - 1)]);
            }
        }
        return "-ERR no such message\r\n";
    }

    Mailbox m_mailbox;
    platform::TcpSocket m_listener;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_served{0};
    std::thread m_thread;
};
