#include "rating/FilterList.h"

#include "platform/Files.h"
#include "platform/LittleEndian.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr std::size_t kCountSize = 4;
constexpr std::size_t kRecordHeadSize = 6;

class MemorySource {
  public:
    explicit MemorySource(std::string_view bytes) : m_bytes(bytes) {}
    std::uint64_t remaining() const { return m_bytes.size(); }
    bool read(void* out, std::size_t size) {
        if (size > m_bytes.size()) {
            return false;
        }
        std::memcpy(out, m_bytes.data(), size);
        m_bytes.remove_prefix(size);
        return true;
    }

  private:
    std::string_view m_bytes;
};

// Reads an open file, never past the size it had when opened, so the lengths
// in a record can be checked against what is really there before any buffer
// is sized by them.
class FileSource {
  public:
    explicit FileSource(const platform::OwnFile& file)
        : m_file(file), m_remaining(static_cast<std::uint64_t>(file.size())) {}
    std::uint64_t remaining() const { return m_remaining; }
    bool read(void* out, std::size_t size) {
        if (size > m_remaining || m_file.readUpTo(out, size) != size) {
            return false;
        }
        m_remaining -= size;
        return true;
    }

  private:
    const platform::OwnFile& m_file;
    std::uint64_t m_remaining;
};

// The count is only a claim: each record must still be there in full, so a
// huge count ends at the first missing record rather than being trusted. A
// length is a claim too: checked against the bytes left alone, a sparse file
// (gigabytes long, a few blocks on disk) would still have it allocated, so a
// length above the cap is a fault of its own.
template <typename Source>
std::vector<FilterListEntry> decodeRecords(Source& source) {
    std::vector<FilterListEntry> entries;
    unsigned char countBytes[kCountSize];
    if (!source.read(countBytes, sizeof countBytes)) {
        return entries;
    }
    // One buffer for every record, so a phrase cut short by an early NUL takes
    // only the room of its text, not of its record.
    std::string buffer;
    const auto count = platform::getLeInt32(countBytes);
    for (std::int32_t i = 0; i < count; ++i) {
        unsigned char head[kRecordHeadSize];
        if (!source.read(head, sizeof head)) {
            break;
        }
        const std::uint8_t field = head[0];
        const std::uint8_t caseSensitive = head[1];
        const std::uint32_t length = platform::getLe32(head + 2);
        if (field > FilterListEntry::kTo || caseSensitive > FilterListEntry::kSensitive ||
            length > FilterList::kMaxRecordLength || length > source.remaining()) {
            break;
        }
        buffer.resize(length);
        if (!source.read(buffer.data(), length)) {
            break;
        }
        std::string phrase(buffer.data(), ::strnlen(buffer.data(), length));
        entries.push_back(FilterListEntry{std::move(phrase), field, caseSensitive});
    }
    return entries;
}

std::string encodeRecords(const std::vector<FilterListEntry>& entries) {
    const std::size_t count =
        std::min<std::size_t>(entries.size(), std::numeric_limits<std::int32_t>::max());
    std::string bytes;
    platform::appendLe32(bytes, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const FilterListEntry& entry = entries[i];
        bytes += static_cast<char>(entry.field);
        bytes += static_cast<char>(entry.caseSensitive);
        platform::appendLe32(bytes, static_cast<std::uint32_t>(entry.phrase.size() + 1));
        bytes += entry.phrase;
        bytes += '\0';
    }
    return bytes;
}

std::string upperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

const char* fieldName(std::uint8_t field) {
    switch (field) {
        case FilterListEntry::kFrom:
            return "From";
        case FilterListEntry::kSubject:
            return "Subject";
        default:
            return "To";
    }
}

const char* caseName(std::uint8_t caseSensitive) {
    return caseSensitive == FilterListEntry::kInsensitive ? "Insensitive" : "Sensitive";
}

}  // namespace

std::vector<FilterListEntry> decodeFilterList(std::string_view bytes) {
    MemorySource source(bytes);
    return decodeRecords(source);
}

FilterList::FilterList(std::string_view fileName) : m_fileName(fileName) {}

bool FilterList::load() {
    platform::CriticalSectionGuard guard(m_lock);
    const platform::OwnFile file = platform::OwnFile::openForReading(m_fileName);
    if (!file.isOpen() || file.size() <= 0) {
        return false;
    }
    FileSource source(file);
    m_entries = decodeRecords(source);
    return true;
}

bool FilterList::save() {
    platform::CriticalSectionGuard guard(m_lock);
    // Long phrases are cut in memory too, but only once the file holds them so.
    std::vector<FilterListEntry> saved = m_entries;
    for (FilterListEntry& entry : saved) {
        if (entry.phrase.size() > kMaxSavedPhrase) {
            entry.phrase.resize(kCutPhrase);
        }
    }
    if (!platform::replaceFileContents(m_fileName, encodeRecords(saved))) {
        return false;
    }
    m_entries = std::move(saved);
    return true;
}

bool FilterList::matches(std::string_view from, std::string_view to,
                         std::string_view subject) const {
    platform::CriticalSectionGuard guard(m_lock);
    // Upper-cased once per message, and only if an insensitive entry needs them.
    std::string upper[3];
    bool upperReady = false;
    for (const FilterListEntry& entry : m_entries) {
        const std::size_t slot = entry.field <= FilterListEntry::kTo ? entry.field : 2;
        if (entry.caseSensitive != FilterListEntry::kInsensitive) {
            const std::string_view target[3] = {from, subject, to};
            if (target[slot].find(entry.phrase) != std::string_view::npos) {
                return true;
            }
            continue;
        }
        if (!upperReady) {
            upper[FilterListEntry::kFrom] = upperAscii(from);
            upper[FilterListEntry::kSubject] = upperAscii(subject);
            upper[FilterListEntry::kTo] = upperAscii(to);
            upperReady = true;
        }
        if (upper[slot].find(upperAscii(entry.phrase)) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void FilterList::showInList(ListRows& rows) {
    platform::CriticalSectionGuard guard(m_lock);
    if (!load()) {
        return;
    }
    for (const FilterListEntry& entry : m_entries) {
        rows.push_back(
            ListRow{entry.phrase, fieldName(entry.field), caseName(entry.caseSensitive)});
    }
}

bool FilterList::replaceFromList(const ListRows& rows) {
    platform::CriticalSectionGuard guard(m_lock);
    m_entries.clear();
    for (const ListRow& row : rows) {
        FilterListEntry entry;
        entry.phrase = row.phrase;
        entry.field = row.field == "From"      ? FilterListEntry::kFrom
                      : row.field == "Subject" ? FilterListEntry::kSubject
                                               : FilterListEntry::kTo;
        entry.caseSensitive = row.caseText == "Insensitive" ? FilterListEntry::kInsensitive
                                                            : FilterListEntry::kSensitive;
        m_entries.push_back(std::move(entry));
    }
    return save();
}

std::vector<FilterListEntry> FilterList::entries() const {
    platform::CriticalSectionGuard guard(m_lock);
    return m_entries;
}
