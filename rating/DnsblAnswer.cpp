#include "rating/DnsblAnswer.h"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr int kNoSuchName = 3;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kClassIn = 1;
constexpr int kUnusable = -1;

// Reads a reply front to back; every read checks the length first, so a short
// or hostile datagram ends the walk instead of reading past it.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::optional<std::uint16_t> u16() {
        if (left() < 2) {
            return std::nullopt;
        }
        const auto value = static_cast<std::uint16_t>(m_bytes[m_at] << 8 | m_bytes[m_at + 1]);
        m_at += 2;
        return value;
    }

    bool skip(std::size_t count) {
        if (left() < count) {
            return false;
        }
        m_at += count;
        return true;
    }

    // Steps over an encoded name: labels up to the root label, or up to a
    // compression pointer, which always ends a name where it stands. The pointer's
    // target is never followed, so no loop of pointers can hold the walk.
    bool skipName() {
        // A name has at most 127 labels; the length check ends the walk sooner.
        for (int labels = 0; labels < 128; ++labels) {
            if (left() < 1) {
                return false;
            }
            const std::uint8_t length = m_bytes[m_at];
            if (length == 0) {
                return skip(1);
            }
            if ((length & 0xC0) == 0xC0) {
                return skip(2);
            }
            if ((length & 0xC0) != 0) {
                return false;  // the obsolete extended label types
            }
            if (!skip(1u + length)) {
                return false;
            }
        }
        return false;
    }

    const std::uint8_t* take(std::size_t count) {
        if (left() < count) {
            return nullptr;
        }
        const std::uint8_t* start = m_bytes.data() + m_at;
        m_at += count;
        return start;
    }

  private:
    std::size_t left() const { return m_bytes.size() - m_at; }

    std::span<const std::uint8_t> m_bytes;
    std::size_t m_at = 0;
};

}  // namespace

DnsblReply readDnsblReply(std::span<const std::uint8_t> answer) {
    constexpr DnsblReply kBroken{false, kUnusable};
    if (answer.size() < kHeaderSize) {
        return kBroken;
    }
    const bool isReply = (answer[2] & 0x80) != 0;
    if (!isReply) {
        return kBroken;
    }
    const int responseCode = answer[3] & 0x0F;
    if (responseCode == kNoSuchName) {
        return {true, 0};
    }
    if (responseCode != 0) {
        return kBroken;
    }

    Reader reader(answer);
    reader.skip(4);
    const std::uint16_t questions = *reader.u16();
    const std::uint16_t answers = *reader.u16();
    reader.skip(4);  // authority and additional counts
    if (answers == 0) {
        return {true, 0};
    }
    for (std::uint32_t q = 0; q < questions; ++q) {
        if (!reader.skipName() || !reader.skip(4)) {
            return kBroken;
        }
    }
    // The first address record decides. Records before it (a CNAME that a
    // resolver put in front) are stepped over.
    for (std::uint32_t a = 0; a < answers; ++a) {
        if (!reader.skipName()) {
            return kBroken;
        }
        const auto type = reader.u16();
        const auto recordClass = reader.u16();
        if (!type || !recordClass || !reader.skip(4)) {
            return kBroken;
        }
        const auto dataLength = reader.u16();
        if (!dataLength) {
            return kBroken;
        }
        const std::uint8_t* data = reader.take(*dataLength);
        if (data == nullptr) {
            return kBroken;
        }
        if (*type != kTypeA || *recordClass != kClassIn) {
            continue;
        }
        if (*dataLength != 4) {
            return kBroken;
        }
        if (data[0] == 127 && data[1] == 0 && data[2] == 0) {
            return {true, data[3]};
        }
        return {true, kUnusable};
    }
    // Whole records, none of them an address: a reply all the same.
    return {true, kUnusable};
}

bool answersQuery(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> query) {
    if (query.size() <= kHeaderSize || reply.size() < query.size()) {
        return false;
    }
    const bool sameId = reply[0] == query[0] && reply[1] == query[1];
    const bool oneQuestion = reply[4] == 0 && reply[5] == 1;
    // Label lengths (at most 63), the root label and the type and class bytes
    // are all outside 'A'..'Z', so lowering every byte changes letters only.
    const auto lower = [](std::uint8_t byte) {
        return byte >= 'A' && byte <= 'Z' ? static_cast<std::uint8_t>(byte + ('a' - 'A')) : byte;
    };
    return sameId && oneQuestion &&
           std::equal(query.begin() + kHeaderSize, query.end(), reply.begin() + kHeaderSize,
                      [&](std::uint8_t a, std::uint8_t b) { return lower(a) == lower(b); });
}
