#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "rating/TokenHash.h"
#include "rating/TokenMap.h"

// The spam probability of every telling phrase token, kept between runs in
// MapProb.bin: u32 entry count N, u32 collision count, then N records of
// {u32 key, f32 probability, u8 check}, little-endian, 8 + 9N bytes in all.
// Not locked itself: BayesFilter's filter lock guards the process's table.
class TokenProbabilityTable {
  public:
    static constexpr const char* kDefaultFileName = "MapProb.bin";
    static constexpr float kNeutral = 0.5f;
    static constexpr std::size_t kHeaderSize = 8;
    static constexpr std::size_t kRecordSize = 9;

    explicit TokenProbabilityTable(std::string fileName = kDefaultFileName);

    // 0.5 for a token without an entry.
    float lookup(std::string_view tokenText) const;
    float lookup(std::uint32_t key, std::uint8_t check) const {
        const float* found = m_entries.find(key, check);
        return found == nullptr ? kNeutral : *found;
    }

    // Replaces the token's probability, or makes an entry for it; a new entry
    // whose key another entry already has counts as a collision.
    void store(std::uint32_t key, std::uint8_t check, float probability);

    std::uint32_t entryCount() const { return static_cast<std::uint32_t>(m_entries.size()); }
    std::uint32_t collisionCount() const { return m_collisionCount; }
    const std::string& fileName() const { return m_fileName; }

    // Empties the table; the file stays as it is.
    void clear();

    // Writes the file when the table has entries; an empty table writes
    // nothing, so the table of the last good build survives a build that
    // stored nothing. The bytes go to a temporary file that is renamed over the
    // old one only once complete, so a full disk never costs the user the
    // table they had. False when nothing was written.
    bool save() const;

    // Replaces the contents with the file's. A missing or unreadable file, or
    // one shorter than its 8-byte head, leaves the table empty (false). A file
    // that holds fewer records than its count says gives the whole records it
    // has and no more; one with more gives the counted ones. The file's count
    // and size never decide an allocation: only records actually read take
    // room. Of several records with one key and check only the first is kept,
    // so entryCount() and the next save() count each token once. A
    // probability outside 0 to 1 is read as the nearer bound and a NaN as 0.5,
    // so that no file can upset the classifier's ordering of candidates.
    bool load();

    // f(key, check, probability) for every entry, in the table's own order.
    template <class F>
    void forEach(F&& f) const {
        m_entries.forEach(f);
    }

  private:
    TokenMap<float> m_entries;
    std::uint32_t m_collisionCount = 0;
    std::string m_fileName;
};
