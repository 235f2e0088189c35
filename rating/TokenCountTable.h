#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "rating/TokenHash.h"
#include "rating/TokenMap.h"

// How often each phrase token occurs in the messages of one training class.
// Two exist during a build, one for bad mail and one for good mail.
class TokenCountTable {
  public:
    static constexpr std::uint16_t kMaxCount = 65535;

    struct Entry {
        std::uint32_t key;
        std::uint16_t count;
        std::uint8_t order;
        std::uint8_t check;
    };

    // Counts one occurrence. A new entry keeps the order it was created with,
    // whatever order a colliding text brings later. A count stays at 65535
    // rather than wrapping round to a token never seen.
    void add(const TokenId& token);

    std::optional<Entry> find(std::uint32_t key, std::uint8_t check) const;
    // 0 for a token without an entry.
    std::uint16_t count(std::uint32_t key, std::uint8_t check) const;

    std::size_t entryCount() const { return m_entries.size(); }
    std::uint32_t messages() const { return m_messages; }
    void addMessage() { ++m_messages; }

    // f(const Entry&) for every entry.
    template <class F>
    void forEach(F&& f) const {
        m_entries.forEach([&f](std::uint32_t key, std::uint8_t check, const Counted& counted) {
            f(Entry{key, counted.count, counted.order, check});
        });
    }

  private:
    struct Counted {
        std::uint16_t count = 0;
        std::uint8_t order = 0;
    };

    TokenMap<Counted> m_entries;
    std::uint32_t m_messages = 0;
};
