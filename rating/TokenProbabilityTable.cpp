#include "rating/TokenProbabilityTable.h"

#include "platform/Files.h"
#include "platform/LittleEndian.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kRecordsPerChunk = 8192;
// The room set aside before reading, whatever the file claims: enough for the
// tables real mail gives, while a larger table grows from the records actually
// read. A sparse file can claim gigabytes while holding a few blocks.
constexpr std::size_t kMostReserved = 65536;

float saneProbability(float p) {
    if (std::isnan(p)) {
        return TokenProbabilityTable::kNeutral;
    }
    return std::clamp(p, 0.0f, 1.0f);
}

}  // namespace

TokenProbabilityTable::TokenProbabilityTable(std::string fileName)
    : m_fileName(std::move(fileName)) {}

float TokenProbabilityTable::lookup(std::string_view tokenText) const {
    return lookup(tokenKey(tokenText), tokenCheck(tokenText));
}

void TokenProbabilityTable::store(std::uint32_t key, std::uint8_t check, float probability) {
    const auto insertion = m_entries.findOrInsert(key, check, probability);
    if (!insertion.created) {
        *insertion.value = probability;
    } else if (insertion.keyTaken) {
        ++m_collisionCount;
    }
}

void TokenProbabilityTable::clear() {
    m_entries.clear();
    m_collisionCount = 0;
}

bool TokenProbabilityTable::save() const {
    const std::uint32_t count = entryCount();
    if (count == 0) {
        return false;
    }
    std::vector<unsigned char> bytes(kHeaderSize + kRecordSize * count);
    platform::putLe32(bytes.data(), count);
    platform::putLe32(bytes.data() + 4, m_collisionCount);
    unsigned char* record = bytes.data() + kHeaderSize;
    m_entries.forEach([&record](std::uint32_t key, std::uint8_t check, float probability) {
        platform::putLe32(record, key);
        platform::putLeFloat(record + 4, probability);
        record[8] = check;
        record += kRecordSize;
    });

    // A failed write leaves the previous table in place.
    return platform::replaceFileContents(
        m_fileName, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool TokenProbabilityTable::load() {
    clear();
    const platform::OwnFile file = platform::OwnFile::openForReading(m_fileName);
    if (!file.isOpen()) {
        return false;
    }
    std::array<unsigned char, kHeaderSize> head{};
    if (file.readUpTo(head.data(), head.size()) != head.size()) {
        return false;
    }
    const std::uint32_t counted = platform::getLe32(head.data());
    const std::uint32_t collisions = platform::getLe32(head.data() + 4);

    const std::uint64_t fileBytes = static_cast<std::uint64_t>(file.size());
    const std::uint64_t present =
        fileBytes > kHeaderSize ? (fileBytes - kHeaderSize) / kRecordSize : 0;
    const std::uint64_t wanted = std::min<std::uint64_t>(counted, present);
    m_entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kMostReserved)));

    // Read in chunks, and by what is actually read rather than by the size
    // seen above: the file may shrink under us.
    std::vector<unsigned char> chunk(
        kRecordSize * static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kRecordsPerChunk)));
    std::uint64_t loaded = 0;
    while (loaded < wanted) {
        const auto records =
            static_cast<std::size_t>(std::min<std::uint64_t>(wanted - loaded, kRecordsPerChunk));
        const std::size_t got = file.readUpTo(chunk.data(), records * kRecordSize);
        const std::size_t whole = got / kRecordSize;
        for (std::size_t i = 0; i < whole; ++i) {
            const unsigned char* record = chunk.data() + i * kRecordSize;
            const float probability = platform::getLeFloat(record + 4);
            // Only the first record of a (key, check) is kept, which is the one
            // a lookup would find anyway. Keeping the later ones would put them
            // all on one probe path, each insertion walking past the others:
            // quadratic in the repeats, with the filter lock held. The count
            // and a later save cover the kept records only; the repeats say
            // nothing a lookup could ever see.
            m_entries.findOrInsert(platform::getLe32(record), record[8],
                                   saneProbability(probability));
        }
        loaded += whole;
        if (whole < records) {
            break;
        }
    }
    m_collisionCount = collisions;
    return true;
}
