#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "desktop/Desktop.h"
#include "platform/CriticalSection.h"
#include "platform/UdpSocket.h"
#include "rating/DnsblAnswer.h"
#include "store/Database.h"
#include "store/ProgramState.h"

// The four numbers of a dotted-quad IPv4 text, most significant first: exactly
// four groups of one to three decimal digits, each at most 255, and nothing
// else (no sign, blank or trailing point).
std::optional<std::array<std::uint8_t, 4>> parseDottedQuad(std::string_view text);

// The small UDP DNS client that asks the two block lists about one IPv4
// address, through the name server the user configured. One query runs at a
// time (the resolver lock); each sends one datagram and waits, for one wait in
// all, for the reply that carries its id and question, without retries or
// caching.
class DnsResolver {
  public:
    // Zone 0 is the list of ProgramState::Switch::Spamhaus, zone 1 that of Spamcop.
    static constexpr const char* kZones[2] = {".sbl-xbl.spamhaus.org", ".bl.spamcop.net"};
    // Every block list lists this address, so any working name server gets an
    // answer for it.
    static constexpr const char* kTestAddress = "127.0.0.2";
    static constexpr std::size_t kBufferSize = 512;

    // `port` and `wait` are the name server's port and the longest wait for its
    // reply; the defaults are those of the real exchange.
    DnsResolver(CDatabase& store, Desktop& desktop, std::uint16_t port = 53,
                std::chrono::milliseconds wait = std::chrono::seconds(5));
    DnsResolver(const DnsResolver&) = delete;
    DnsResolver& operator=(const DnsResolver&) = delete;

    // Asks block list `zone` about `address`: -1 when no usable answer came (no
    // reply in time, a socket failure, an error reply, an address text that is
    // not a dotted quad, a zone other than 0 or 1), 0 when the address is not
    // listed, above 0 when it is. See interpretDnsblAnswer for the reading.
    // `longestWait` cuts the resolver's own wait for this one query, so that a
    // caller with a time budget of its own is never held past it.
    int queryDnsbl(const std::string& address, int zone,
                   std::chrono::milliseconds longestWait = std::chrono::milliseconds::max());

    // True when a name server at `address` answers a block-list query at all:
    // a well-formed reply with response code 0 or 3, whatever address it
    // carries, so a list that refuses queries from public resolvers
    // (127.255.255.x) does not fail a working name server. False on silence, a
    // socket failure, a malformed reply or another response code. The
    // configured name server is read again from the store afterwards.
    bool testNameServer(const std::string& address);

    // A resolver for one name-server test that asks as this one does (the same
    // port and wait) but has a lock and socket of its own, so the test neither
    // waits behind block-list queries nor holds them up. Its testNameServer
    // reads nothing from the store and shows nothing, so a caller that stops
    // waiting for it may leave it to finish alone.
    std::unique_ptr<DnsResolver> forServerTest() const;

    // Takes the two list switches from the state byte and shows "DNSBL ON" or
    // "DNSBL OFF".
    void setDnsblZones(ProgramState state);
    bool spamhausEnabled() const { return m_spamhausEnabled.load(std::memory_order_relaxed); }
    bool spamcopEnabled() const { return m_spamcopEnabled.load(std::memory_order_relaxed); }

    // Makes the next query read the name server from the store again; the
    // settings dialog calls it when the user confirms a change.
    void clearServerKnown();

  private:
    struct Outcome {
        // A well-formed reply with response code 0 or 3 came back, whatever it said.
        bool answered = false;
        int result = -1;  // as queryDnsbl
    };

    Outcome ask(const std::string& address, int zone, std::chrono::milliseconds wait);
    // The name server's reply to `query`, or nothing when none came within
    // `wait` or the socket failed.
    std::optional<DnsblReply> awaitReply(std::span<const std::uint8_t> query,
                                         std::chrono::milliseconds wait);
    std::size_t buildQuery(const std::string& name);
    bool knowServer();

    CDatabase& m_store;
    Desktop& m_desktop;
    const std::uint16_t m_port;
    const std::chrono::milliseconds m_wait;

    platform::CriticalSection m_lock;
    std::array<std::uint8_t, kBufferSize> m_query{};
    std::array<std::uint8_t, kBufferSize> m_answer{};
    platform::UdpSocket m_socket;
    std::string m_nameServer;
    bool m_serverKnown = false;
    // One resolver serves the process, so its counter is the process's: ids run
    // 2, 3, ..., 10 and round again.
    std::uint8_t m_queryId = 1;

    std::atomic<bool> m_spamhausEnabled{false};
    std::atomic<bool> m_spamcopEnabled{false};
};
