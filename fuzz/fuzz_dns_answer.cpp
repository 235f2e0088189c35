// Block-list replies come from the network: whatever a name server sends back
// to a query the resolver sent, its reading must stay inside the datagram and
// give one of the documented results. The reply goes over loopback to a real
// resolver, so the whole path is taken: the query it built, the datagram cut
// to its buffer, the interpretation; and that path must agree with reading
// the same bytes directly.
//
// Input: one control byte, then the reply. Bit 0 picks the block list, bit 1
// whether the rest is the whole datagram or the answer part behind the
// resolver's own query (its id and question, then two flag bytes, the answer
// count and the records from the input), bit 2 whether the resolver runs its
// name-server test instead of a query.
//
// A reply that does not carry the query's id and question must be passed over:
// the server then sends the proper "no such name" reply behind it, and the
// resolver has to come out with that one.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "doubles/RecordingDesktop.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzDirectory.h"
#include "platform/UdpSocket.h"
#include "rating/DnsResolver.h"
#include "rating/DnsblAnswer.h"
#include "store/Database.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSecondList = 0x01;
constexpr std::uint8_t kBehindQuery = 0x02;
constexpr std::uint8_t kServerTest = 0x04;
constexpr std::size_t kHeaderSize = 12;

// The datagram to answer a query with: the input as it is, or the query
// turned into a reply whose flags, answer count and records the input gives.
Bytes replyTo(const Bytes& query, std::uint8_t control, std::span<const std::uint8_t> rest) {
    if ((control & kBehindQuery) == 0) {
        return Bytes(rest.begin(), rest.end());
    }
    std::array<std::uint8_t, 4> fields{};
    const std::size_t taken = std::min(rest.size(), fields.size());
    std::copy_n(rest.begin(), taken, fields.begin());
    Bytes reply = query;
    if (reply.size() < kHeaderSize) {
        reply.resize(kHeaderSize);
    }
    reply[2] = fields[0];
    reply[3] = fields[1];
    reply[6] = fields[2];
    reply[7] = fields[3];
    reply.insert(reply.end(), rest.begin() + static_cast<std::ptrdiff_t>(taken), rest.end());
    return reply;
}

// What the resolver can have seen of a datagram: no more than its buffer.
Bytes asReceived(const Bytes& datagram) {
    const std::size_t size = std::min(datagram.size(), DnsResolver::kBufferSize);
    return Bytes(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(size));
}

// The proper reply to `query` that sends after a stray: not listed.
Bytes noSuchName(const Bytes& query) {
    Bytes reply = query;
    reply[2] = 0x81;
    reply[3] = 0x83;
    return reply;
}

// The name server on 127.0.0.1: answers each query with the reply the current
// input makes of it, and remembers what it sent.
class AnsweringServer {
  public:
    AnsweringServer() {
        FUZZ_CHECK(m_socket.open() && m_socket.bindLoopback(0));
        m_port = m_socket.boundPort();
        FUZZ_CHECK(m_port != 0);
        m_thread = std::thread([this] { serve(); });
    }
    ~AnsweringServer() {
        m_stop.store(true);
        m_thread.join();
    }
    AnsweringServer(const AnsweringServer&) = delete;
    AnsweringServer& operator=(const AnsweringServer&) = delete;

    std::uint16_t port() const { return m_port; }

    void answerWith(std::uint8_t control, std::span<const std::uint8_t> rest) {
        std::lock_guard lock(m_mutex);
        m_control = control;
        m_rest.assign(rest.begin(), rest.end());
        m_sent.clear();
        m_queries.clear();
    }

    // The replies sent since answerWith, and the queries they answered.
    std::vector<Bytes> sent() const {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }
    std::vector<Bytes> queries() const {
        std::lock_guard lock(m_mutex);
        return m_queries;
    }

  private:
    void serve() {
        std::array<std::uint8_t, 1024> buffer{};
        while (!m_stop.load()) {
            if (m_socket.waitReadable(20ms) != platform::UdpSocket::Wait::Readable) {
                continue;
            }
            std::string from;
            std::uint16_t fromPort = 0;
            const int received = m_socket.receiveFrom(buffer, from, fromPort);
            if (received < 0) {
                continue;
            }
            const Bytes query(buffer.begin(), buffer.begin() + received);
            Bytes reply;
            {
                std::lock_guard lock(m_mutex);
                reply = replyTo(query, m_control, m_rest);
                m_sent.push_back(reply);
                m_queries.push_back(query);
            }
            m_socket.sendTo(from, fromPort, reply);
            if (!answersQuery(asReceived(reply), query)) {
                m_socket.sendTo(from, fromPort, noSuchName(query));
            }
        }
    }

    platform::UdpSocket m_socket;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::uint8_t m_control = 0;
    Bytes m_rest;
    std::vector<Bytes> m_sent;
    std::vector<Bytes> m_queries;
    std::thread m_thread;
};

class ResolverWorld {
  public:
    ResolverWorld()
        : m_directory("dns"),
          m_database(m_desktop, m_directory.filePath("HGIndex.hgd")),
          m_resolver(m_database, m_desktop, m_server.port(), 5s) {
        FUZZ_CHECK(m_database.setNameServerIP({127, 0, 0, 1}));
    }

    AnsweringServer& server() { return m_server; }
    DnsResolver& resolver() { return m_resolver; }

  private:
    FuzzDirectory m_directory;
    RecordingDesktop m_desktop;
    CDatabase m_database;
    AnsweringServer m_server;
    DnsResolver m_resolver;
};

ResolverWorld* g_world = nullptr;

// The documented results: -1, or 0 to 255 for a reply that was answered.
DnsblReply checkedReading(const Bytes& datagram) {
    const DnsblReply reply = readDnsblReply(datagram);
    FUZZ_CHECK(reply.result >= -1 && reply.result <= 255);
    FUZZ_CHECK(reply.result < 0 || reply.answered);
    FUZZ_CHECK(interpretDnsblAnswer(datagram) == reply.result);
    return reply;
}

// The reading the resolver must have come to: the fuzzed reply's when it
// answers the query, otherwise that of the "no such name" sent behind it.
DnsblReply expectedReading(const AnsweringServer& server) {
    const std::vector<Bytes> sent = server.sent();
    const std::vector<Bytes> queries = server.queries();
    FUZZ_CHECK(sent.size() == 1 && queries.size() == 1);
    const Bytes received = asReceived(sent.front());
    const DnsblReply reading = checkedReading(received);
    if (answersQuery(received, queries.front())) {
        return reading;
    }
    return DnsblReply{true, 0};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static ResolverWorld world;
    g_world = &world;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t control = data[0];
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    // Read directly first, from a buffer of exactly the datagram's size.
    checkedReading(Bytes(rest.begin(), rest.end()));

    AnsweringServer& server = g_world->server();
    DnsResolver& resolver = g_world->resolver();
    server.answerWith(control, rest);
    if ((control & kServerTest) != 0) {
        const bool answered = resolver.testNameServer("127.0.0.1");
        FUZZ_CHECK(answered == expectedReading(server).answered);
        return 0;
    }
    const int result = resolver.queryDnsbl("192.0.2.1", (control & kSecondList) != 0 ? 1 : 0);
    FUZZ_CHECK(result == expectedReading(server).result);
    return 0;
}
