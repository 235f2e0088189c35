#include "rating/DnsResolver.h"

#include "platform/HostLookup.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>

#include "rating/DnsblAnswer.h"

namespace {

constexpr std::uint8_t kLastQueryId = 10;
constexpr std::uint8_t kFirstRoundId = 2;
constexpr std::size_t kHeaderSize = 12;
// Reversed dotted quad (at most 15 characters) plus the longer zone.
constexpr std::size_t kLongestName =
    15 + std::max(std::char_traits<char>::length(DnsResolver::kZones[0]),
                  std::char_traits<char>::length(DnsResolver::kZones[1]));
static_assert(kLongestName + 18 <= DnsResolver::kBufferSize);

void reportFailure(const char* message) {
    std::printf("Error %s\n", message);
    std::fflush(stdout);
}

}  // namespace

std::optional<std::array<std::uint8_t, 4>> parseDottedQuad(std::string_view text) {
    return platform::dottedToAddress(text);
}

DnsResolver::DnsResolver(CDatabase& store, Desktop& desktop, std::uint16_t port,
                         std::chrono::milliseconds wait)
    : m_store(store), m_desktop(desktop), m_port(port), m_wait(wait) {}

void DnsResolver::setDnsblZones(ProgramState state) {
    {
        platform::CriticalSectionGuard guard(m_lock);
        m_spamhausEnabled.store(state.spamhausOn(), std::memory_order_relaxed);
        m_spamcopEnabled.store(state.spamcopOn(), std::memory_order_relaxed);
    }
    // Shown after the lock is left: the desktop may hand the text to the window
    // thread and wait for it, and that thread may itself be waiting for this lock
    // to run a query.
    m_desktop.setStatusText(StatusPane::Dnsbl, state.anyBlockListOn() ? "DNSBL ON" : "DNSBL OFF");
}

void DnsResolver::clearServerKnown() {
    platform::CriticalSectionGuard guard(m_lock);
    m_serverKnown = false;
}

bool DnsResolver::knowServer() {
    if (m_serverKnown) {
        return true;
    }
    std::array<std::uint8_t, 4> address{};
    if (!m_store.getNameServerIP(address)) {
        return false;  // tried again at the next query
    }
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    m_nameServer = text;
    m_serverKnown = true;
    return true;
}

std::size_t DnsResolver::buildQuery(const std::string& name) {
    m_query.fill(0);
    m_queryId = static_cast<std::uint8_t>(m_queryId + 1);
    if (m_queryId > kLastQueryId) {
        m_queryId = kFirstRoundId;
    }
    m_query[1] = m_queryId;
    m_query[2] = 0x01;  // recursion desired
    m_query[5] = 1;     // one question
    std::size_t at = kHeaderSize;
    std::size_t labelStart = 0;
    while (labelStart <= name.size()) {
        std::size_t labelEnd = name.find('.', labelStart);
        if (labelEnd == std::string::npos) {
            labelEnd = name.size();
        }
        const std::size_t length = labelEnd - labelStart;
        m_query[at++] = static_cast<std::uint8_t>(length);
        name.copy(reinterpret_cast<char*>(m_query.data() + at), length, labelStart);
        at += length;
        labelStart = labelEnd + 1;
    }
    m_query[at++] = 0;
    m_query[at + 1] = 1;  // type A
    m_query[at + 3] = 1;  // class IN
    return at + 4;
}

int DnsResolver::queryDnsbl(const std::string& address, int zone,
                            std::chrono::milliseconds longestWait) {
    return ask(address, zone, std::min(m_wait, longestWait)).result;
}

DnsResolver::Outcome DnsResolver::ask(const std::string& address, int zone,
                                      std::chrono::milliseconds wait) {
    Outcome outcome;
    if (zone != 0 && zone != 1) {
        return outcome;
    }
    const auto parts = parseDottedQuad(address);
    if (!parts) {
        return outcome;
    }
    // Built from the numbers, so the name is four short labels and a known zone:
    // it always fits the buffer, and a group written with leading zeros ("010")
    // is asked about as the number it stands for.
    char reversed[16];
    std::snprintf(reversed, sizeof reversed, "%d.%d.%d.%d", (*parts)[3], (*parts)[2], (*parts)[1],
                  (*parts)[0]);
    const std::string name = reversed + std::string(kZones[zone]);

    platform::CriticalSectionGuard guard(m_lock);
    const std::size_t queryLength = buildQuery(name);
    m_answer.fill(0);

    if (!m_socket.open()) {
        reportFailure("Unable to create client socket");
        return outcome;
    }
    if (!knowServer()) {
        m_socket.close();
        return outcome;
    }
    if (!m_socket.setNonBlocking()) {
        reportFailure("Unable to make socket non-blocking");
        m_socket.close();
        return outcome;
    }
    // Connected, so only datagrams from the name server's address arrive: an
    // unconnected socket would take a datagram from anyone who guessed its port.
    const std::span<const std::uint8_t> query(m_query.data(), queryLength);
    if (m_socket.connect(m_nameServer, m_port) && m_socket.send(query)) {
        if (const auto reply = awaitReply(query, wait)) {
            outcome = {reply->answered, reply->result};
        }
    }
    m_socket.close();
    return outcome;
}

// Datagrams that do not answer `query` are dropped and the wait goes on, for
// no longer in all than one wait: a stream of strays cannot stretch it.
std::optional<DnsblReply> DnsResolver::awaitReply(std::span<const std::uint8_t> query,
                                                  std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= std::chrono::milliseconds::zero() ||
            m_socket.waitReadable(left) != platform::UdpSocket::Wait::Readable) {
            return std::nullopt;
        }
        const int received = m_socket.receive(m_answer);
        if (received < 0) {
            return std::nullopt;
        }
        const std::span<const std::uint8_t> datagram(m_answer.data(),
                                                     static_cast<std::size_t>(received));
        if (answersQuery(datagram, query)) {
            return readDnsblReply(datagram);
        }
    }
}

bool DnsResolver::testNameServer(const std::string& address) {
    platform::CriticalSectionGuard guard(m_lock);
    const std::string saved = m_nameServer;
    m_nameServer = address;
    m_serverKnown = true;
    const Outcome outcome = ask(kTestAddress, 0, m_wait);
    m_nameServer = saved;
    m_serverKnown = false;
    return outcome.answered;
}

std::unique_ptr<DnsResolver> DnsResolver::forServerTest() const {
    return std::make_unique<DnsResolver>(m_store, m_desktop, m_port, m_wait);
}
