#include "rating/TokenProbabilityTable.h"

#include "platform/Files.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kRecordsPerChunk = 8192;
// The room set aside before reading, whatever the file claims: enough for the
// tables real mail gives, while a larger table grows from the records actually
// read. A sparse file can claim gigabytes while holding a few blocks.
constexpr std::size_t kMostReserved = 65536;

void putUint32(unsigned char* out, std::uint32_t value) {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
    out[2] = static_cast<unsigned char>(value >> 16);
    out[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t getUint32(const unsigned char* in) {
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
           std::uint32_t{in[3]} << 24;
}

// Reads up to `size` bytes; fewer only at the end of the file or on an error.
std::size_t readUpTo(int fd, unsigned char* data, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const ssize_t got = ::read(fd, data + total, size - total);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

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
    putUint32(bytes.data(), count);
    putUint32(bytes.data() + 4, m_collisionCount);
    unsigned char* record = bytes.data() + kHeaderSize;
    m_entries.forEach([&record](std::uint32_t key, std::uint8_t check, float probability) {
        putUint32(record, key);
        putUint32(record + 4, std::bit_cast<std::uint32_t>(probability));
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
    if (readUpTo(file.fd(), head.data(), head.size()) != head.size()) {
        return false;
    }
    const std::uint32_t counted = getUint32(head.data());
    const std::uint32_t collisions = getUint32(head.data() + 4);

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
        const std::size_t got = readUpTo(file.fd(), chunk.data(), records * kRecordSize);
        const std::size_t whole = got / kRecordSize;
        for (std::size_t i = 0; i < whole; ++i) {
            const unsigned char* record = chunk.data() + i * kRecordSize;
            const float probability = std::bit_cast<float>(getUint32(record + 4));
            // Only the first record of a (key, check) is kept, which is the one
            // a lookup would find anyway. Keeping the later ones would put them
            // all on one probe path, each insertion walking past the others:
            // quadratic in the repeats, with the filter lock held. The count
            // and a later save cover the kept records only; the repeats say
            // nothing a lookup could ever see.
            m_entries.findOrInsert(getUint32(record), record[8], saneProbability(probability));
        }
        loaded += whole;
        if (whole < records) {
            break;
        }
    }
    m_collisionCount = collisions;
    return true;
}
