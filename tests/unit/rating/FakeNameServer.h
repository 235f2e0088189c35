#pragma once

// A name server on 127.0.0.1 for the resolver's tests: it records every query
// datagram it receives and answers each as its responder says.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/UdpSocket.h"

struct FakeReply {
    enum class Kind {
        Address,    // one A record with `address`
        Code,       // an empty reply with response code `code`
        NoRecords,  // response code 0, no answer records
        Truncated,  // an Address reply with its last two bytes cut off
        Silence,    // no reply at all
    };
    Kind kind = Kind::Silence;
    std::array<std::uint8_t, 4> address{};
    int code = 0;

    static FakeReply listed(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
        return {Kind::Address, {a, b, c, d}, 0};
    }
    static FakeReply responseCode(int code) { return {Kind::Code, {}, code}; }
    static FakeReply noRecords() { return {Kind::NoRecords, {}, 0}; }
    static FakeReply truncated() { return {Kind::Truncated, {127, 0, 0, 2}, 0}; }
    static FakeReply silence() { return {Kind::Silence, {}, 0}; }
};

// The dotted name asked about in a query datagram ("" when it cannot be read).
inline std::string queryNameOf(const std::vector<std::uint8_t>& query) {
    std::string name;
    std::size_t at = 12;
    while (at < query.size() && query[at] != 0) {
        const std::size_t length = query[at];
        if (length > 63 || at + 1 + length > query.size()) {
            return "";
        }
        if (!name.empty()) {
            name += '.';
        }
        name.append(reinterpret_cast<const char*>(query.data() + at + 1), length);
        at += 1 + length;
    }
    return name;
}

// The reply a name server would send to `query`: the query's id and question,
// the reply flags, and the answer that `reply` asks for.
inline std::vector<std::uint8_t> buildReply(const std::vector<std::uint8_t>& query,
                                            const FakeReply& reply) {
    std::vector<std::uint8_t> bytes(query);
    if (bytes.size() < 12) {
        bytes.resize(12);
    }
    const bool withRecord =
        reply.kind == FakeReply::Kind::Address || reply.kind == FakeReply::Kind::Truncated;
    const int code = reply.kind == FakeReply::Kind::Code ? reply.code : 0;
    bytes[2] = 0x81;  // reply, recursion desired
    bytes[3] = static_cast<std::uint8_t>(0x80 | (code & 0x0F));
    bytes[6] = 0;
    bytes[7] = withRecord ? 1 : 0;
    if (withRecord) {
        const std::uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4};
        bytes.insert(bytes.end(), std::begin(record), std::end(record));
        bytes.insert(bytes.end(), reply.address.begin(), reply.address.end());
    }
    if (reply.kind == FakeReply::Kind::Truncated) {
        bytes.resize(bytes.size() - 2);
    }
    return bytes;
}

class FakeNameServer {
  public:
    using Responder = std::function<FakeReply(const std::string& queryName)>;

    // Answers every query through `responder`, on the server's own thread.
    explicit FakeNameServer(Responder responder) : m_responder(std::move(responder)) { start(); }
    // Answers the queries in turn with `script`, then stays silent.
    explicit FakeNameServer(std::vector<FakeReply> script) : m_script(std::move(script)) {
        start();
    }
    ~FakeNameServer() {
        m_stop.store(true);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    FakeNameServer(const FakeNameServer&) = delete;
    FakeNameServer& operator=(const FakeNameServer&) = delete;

    // From now on each reply is preceded by `forged`, sent to the querier from
    // another port of this machine, as a stranger guessing the querier's port would.
    void forgeFromElsewhere(const FakeReply& forged) {
        std::lock_guard lock(m_mutex);
        m_forged = forged;
    }

    // From now on each reply is preceded by the datagrams `strays` makes of the
    // query, sent from the server's own port, as a late or forged reply would be.
    using Strays = std::function<std::vector<std::vector<std::uint8_t>>(
        const std::vector<std::uint8_t>& query)>;
    void precedeRepliesWith(Strays strays) {
        std::lock_guard lock(m_mutex);
        m_strays = std::move(strays);
    }

    std::uint16_t port() const { return m_port; }
    bool ready() const { return m_port != 0; }

    std::vector<std::vector<std::uint8_t>> queries() const {
        std::lock_guard lock(m_mutex);
        return m_queries;
    }
    std::vector<std::string> queryNames() const {
        std::vector<std::string> names;
        for (const auto& query : queries()) {
            names.push_back(queryNameOf(query));
        }
        return names;
    }

  private:
    // Ends by itself after about a minute even if nobody stops it.
    static constexpr int kMaxPasses = 3000;
    static constexpr std::chrono::milliseconds kPoll{20};

    void start() {
        if (!m_socket.open() || !m_socket.bindLoopback(0)) {
            return;
        }
        m_port = m_socket.boundPort();
        if (m_port == 0) {
            return;
        }
        m_thread = std::thread([this] { serve(); });
    }

    FakeReply replyFor(const std::string& name) {
        if (m_responder) {
            return m_responder(name);
        }
        return m_next < m_script.size() ? m_script[m_next++] : FakeReply::silence();
    }

    void serve() {
        std::array<std::uint8_t, 512> buffer{};
        for (int pass = 0; pass < kMaxPasses && !m_stop.load(); ++pass) {
            if (m_socket.waitReadable(kPoll) != platform::UdpSocket::Wait::Readable) {
                continue;
            }
            std::string from;
            std::uint16_t fromPort = 0;
            const int received = m_socket.receiveFrom(buffer, from, fromPort);
            if (received < 0) {
                continue;
            }
            std::vector<std::uint8_t> query(buffer.begin(), buffer.begin() + received);
            {
                std::lock_guard lock(m_mutex);
                m_queries.push_back(query);
            }
            const FakeReply reply = replyFor(queryNameOf(query));
            std::optional<FakeReply> forged;
            Strays strays;
            {
                std::lock_guard lock(m_mutex);
                forged = m_forged;
                strays = m_strays;
            }
            if (strays) {
                for (const auto& datagram : strays(query)) {
                    m_socket.sendTo(from, fromPort, datagram);
                }
            }
            if (forged && (m_forger.isOpen() || m_forger.open())) {
                m_forger.sendTo(from, fromPort, buildReply(query, *forged));
            }
            if (reply.kind != FakeReply::Kind::Silence) {
                m_socket.sendTo(from, fromPort, buildReply(query, reply));
            }
        }
    }

    Responder m_responder;
    std::vector<FakeReply> m_script;
    std::size_t m_next = 0;  // only the server thread touches it
    platform::UdpSocket m_socket;
    platform::UdpSocket m_forger;       // only the server thread touches it
    std::optional<FakeReply> m_forged;  // guarded by m_mutex
    Strays m_strays;                    // guarded by m_mutex
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<std::vector<std::uint8_t>> m_queries;
    std::thread m_thread;
};
