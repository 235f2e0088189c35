// The small binary files in the working directory: anything may have written
// them, a crash half-way or a user's tool. Each loader is held to its promise:
// no crash, the documented result for a malformed file, and never more memory
// than the file's bytes could justify.
//
// Input: one byte picks the file, the rest is the file's whole contents. The
// byte modulo 5 is the kind (the token table, a phrase list, the build
// schedule, the spam flag word, the tray animation switch); for a phrase list
// the byte divided by 5 tells the white list (even) from the black list (odd).
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filterbuild/ScheduleData.h"
#include "fuzz/support/AllocationWatch.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzDirectory.h"
#include "proxy/SpamFlagWord.h"
#include "rating/FilterList.h"
#include "rating/TokenProbabilityTable.h"
#include "ui/AnimSetting.h"

namespace {

// Room for the buffers of the streams and the file objects themselves, which
// any loader may take whatever the file holds.
constexpr std::size_t kFixedRoom = 256 * 1024;
// Per byte of the file: a table slot per record, the map kept at most half
// full, one growth step holding old and new slots at once, a read buffer.
constexpr std::size_t kRoomPerByte = 32;

const FuzzDirectory& directory() {
    static const FuzzDirectory instance("files");
    return instance;
}

void checkRoom(const AllocationWatch& watch, std::size_t fileSize) {
    FUZZ_CHECK(watch.peakBytes() <= kFixedRoom + kRoomPerByte * fileSize);
}

std::uint32_t uint32At(std::string_view bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= std::uint32_t{static_cast<unsigned char>(bytes[offset + i])} << (8 * i);
    }
    return value;
}

// ---- MapProb.bin ----

struct TableEntry {
    std::uint64_t id;  // key and check
    float probability;
};
using TableEntries = std::vector<TableEntry>;  // sorted by id

std::uint64_t entryId(std::uint32_t key, std::uint8_t check) {
    return std::uint64_t{key} << 8 | check;
}

void sortById(TableEntries& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TableEntry& a, const TableEntry& b) { return a.id < b.id; });
}

// The whole records the count covers, the first of each key and check, the
// probability held to 0..1 with a NaN read as 0.5.
TableEntries expectedTable(std::string_view bytes) {
    TableEntries entries;
    const std::uint64_t counted = uint32At(bytes, 0);
    const std::uint64_t present =
        (bytes.size() - TokenProbabilityTable::kHeaderSize) / TokenProbabilityTable::kRecordSize;
    for (std::uint64_t i = 0; i < std::min(counted, present); ++i) {
        const std::string_view record = bytes.substr(TokenProbabilityTable::kHeaderSize +
                                                     i * TokenProbabilityTable::kRecordSize);
        float p = std::bit_cast<float>(uint32At(record, 4));
        p = std::isnan(p) ? 0.5f : std::min(std::max(p, 0.0f), 1.0f);
        entries.push_back({entryId(uint32At(record, 0), static_cast<std::uint8_t>(record[8])), p});
    }
    sortById(entries);
    const auto sameId = [](const TableEntry& a, const TableEntry& b) { return a.id == b.id; };
    entries.erase(std::unique(entries.begin(), entries.end(), sameId), entries.end());
    return entries;
}

// Exactly the expected entries: as many, each found by its key and check.
void checkTable(const TokenProbabilityTable& table, const TableEntries& expected) {
    FUZZ_CHECK(table.entryCount() == expected.size());
    for (const TableEntry& entry : expected) {
        const auto key = static_cast<std::uint32_t>(entry.id >> 8);
        const auto check = static_cast<std::uint8_t>(entry.id);
        FUZZ_CHECK(table.lookup(key, check) == entry.probability);
    }
}

// Saving and loading again is checked on the shorter tables only: the layout
// is the same at any length, and a long table's reload would take the run's
// time from the loader's own cases.
constexpr std::size_t kLongestRoundTrip = 512;

void fuzzTokenTable(std::string_view bytes) {
    const std::string path = directory().filePath("MapProb.bin");
    directory().writeFile("MapProb.bin", bytes);
    TokenProbabilityTable table(path);
    bool loaded = false;
    {
        const AllocationWatch watch;
        loaded = table.load();
        checkRoom(watch, bytes.size());
    }
    if (bytes.size() < TokenProbabilityTable::kHeaderSize) {
        FUZZ_CHECK(!loaded && table.entryCount() == 0);
        return;
    }
    FUZZ_CHECK(loaded);
    const TableEntries expected = expectedTable(bytes);
    checkTable(table, expected);
    FUZZ_CHECK(table.collisionCount() == uint32At(bytes, 4));

    if (expected.size() <= kLongestRoundTrip) {
        FUZZ_CHECK(table.save() == !expected.empty());
        if (!expected.empty()) {
            TokenProbabilityTable again(path);
            FUZZ_CHECK(again.load());
            checkTable(again, expected);
            FUZZ_CHECK(again.collisionCount() == table.collisionCount());
        }
    }
}

// ---- wlist.bin, blist.bin ----

// Whole records up to the first damaged one: cut short, a field above To, a
// case flag above Sensitive or a length above the cap; a phrase ends at its NUL.
std::vector<FilterListEntry> expectedList(std::string_view bytes) {
    std::vector<FilterListEntry> entries;
    if (bytes.size() < 4) {
        return entries;
    }
    const auto count = static_cast<std::int32_t>(uint32At(bytes, 0));
    std::size_t at = 4;
    for (std::int32_t i = 0; i < count && bytes.size() - at >= 6; ++i) {
        const auto field = static_cast<std::uint8_t>(bytes[at]);
        const auto caseSensitive = static_cast<std::uint8_t>(bytes[at + 1]);
        const std::uint32_t length = uint32At(bytes, at + 2);
        at += 6;
        if (field > FilterListEntry::kTo || caseSensitive > FilterListEntry::kSensitive ||
            length > FilterList::kMaxRecordLength || length > bytes.size() - at) {
            break;
        }
        const std::string_view text = bytes.substr(at, length);
        entries.push_back({std::string(text.substr(0, text.find('\0'))), field, caseSensitive});
        at += length;
    }
    return entries;
}

// An entry's phrase, put in its own header, is a hit.
void checkMatching(const FilterList& list, const std::vector<FilterListEntry>& entries) {
    bool anyEmpty = false;
    for (std::size_t i = 0; i < entries.size() && i < 16; ++i) {
        const FilterListEntry& entry = entries[i];
        anyEmpty = anyEmpty || entry.phrase.empty();
        const std::string_view phrase = entry.phrase;
        FUZZ_CHECK(list.matches(entry.field == FilterListEntry::kFrom ? phrase : "",
                                entry.field == FilterListEntry::kTo ? phrase : "",
                                entry.field == FilterListEntry::kSubject ? phrase : ""));
    }
    if (anyEmpty) {
        FUZZ_CHECK(list.matches("", "", ""));
    }
}

void fuzzFilterList(std::string_view bytes, std::string_view name) {
    const std::string path = directory().filePath(name);
    directory().writeFile(name, bytes);
    FilterList list(path);
    bool loaded = false;
    {
        const AllocationWatch watch;
        loaded = list.load();
        checkRoom(watch, bytes.size());
    }
    FUZZ_CHECK(loaded == !bytes.empty());
    const std::vector<FilterListEntry> entries = list.entries();
    FUZZ_CHECK(entries == expectedList(bytes));
    FUZZ_CHECK(entries == decodeFilterList(bytes));
    checkMatching(list, entries);

    // Saving cuts the long phrases, and the file then holds exactly the list.
    std::vector<FilterListEntry> cut = entries;
    for (FilterListEntry& entry : cut) {
        if (entry.phrase.size() > FilterList::kMaxSavedPhrase) {
            entry.phrase.resize(FilterList::kCutPhrase);
        }
    }
    FUZZ_CHECK(list.save());
    FUZZ_CHECK(list.entries() == cut);
    FilterList again(path);
    FUZZ_CHECK(again.load());
    FUZZ_CHECK(again.entries() == cut);
}

// ---- timeData.bin ----

constexpr std::int32_t kLatestScheduleTime = 6 * 24 * 60 + (255 + 12) * 60 + 255;

void checkTimes(const std::array<std::int32_t, 7>& times, const ScheduleBytes& bytes) {
    FUZZ_CHECK(times == computeScheduleTimes(bytes));
    for (const std::int32_t t : times) {
        FUZZ_CHECK(t == -1 || (t >= 0 && t <= kLatestScheduleTime));
    }
}

void fuzzSchedule(std::string_view bytes) {
    const std::string path = directory().filePath("timeData.bin");
    directory().writeFile("timeData.bin", bytes);
    const AllocationWatch watch;
    ScheduleData schedule(path);
    ScheduleBytes loaded;
    const bool read = schedule.loadSchedule(loaded);
    checkRoom(watch, bytes.size());
    FUZZ_CHECK(read == (bytes.size() >= ScheduleRecord::kSize));
    if (!read) {
        FUZZ_CHECK(schedule.bytes() == ScheduleBytes{});
        FUZZ_CHECK(schedule.lastEmailCount() == 0 && schedule.lastAccuracy() == 0.0f);
        return;
    }
    const std::string_view head = bytes.substr(0, ScheduleRecord::kSize);
    FUZZ_CHECK(std::memcmp(loaded.days.data(), head.data(), loaded.days.size()) == 0);
    FUZZ_CHECK(loaded.hour == static_cast<std::uint8_t>(head[7]));
    FUZZ_CHECK(loaded.minute == static_cast<std::uint8_t>(head[8]));
    FUZZ_CHECK(loaded.pm == static_cast<std::uint8_t>(head[9]));
    FUZZ_CHECK(schedule.bytes() == loaded);
    FUZZ_CHECK(std::bit_cast<std::uint32_t>(schedule.lastAccuracy()) == uint32At(head, 10));
    FUZZ_CHECK(static_cast<std::uint32_t>(schedule.lastEmailCount()) == uint32At(head, 14));
    checkTimes(schedule.scheduleTimes(), loaded);
    FUZZ_CHECK(!accuracyText(schedule.lastAccuracy(), schedule.lastEmailCount()).empty());
    bool requested = true;
    schedule.isBuildDue(requested);
    FUZZ_CHECK(!requested);

    const std::optional<ScheduleRecord> record = decodeScheduleRecord(bytes);
    FUZZ_CHECK(record.has_value());
    const auto encoded = encodeScheduleRecord(*record);
    FUZZ_CHECK(std::string_view(encoded.data(), encoded.size()) == head);
}

// ---- sFlag.bin ----

std::string expectedFlagWord(std::string_view bytes) {
    const std::string fallback = proxy::kDefaultSpamFlagWord;
    if (bytes.size() < 4) {
        return fallback;
    }
    const std::uint32_t stored = uint32At(bytes, 0);
    if (stored < proxy::kMinSpamFlagWord || stored > proxy::kMaxSpamFlagWord + 1 ||
        bytes.size() - 4 < stored) {
        return fallback;
    }
    // The word ends at its 0 byte, which must lie within the L bytes.
    const std::string_view text = bytes.substr(4, stored);
    const std::size_t end = text.find('\0');
    if (end == std::string_view::npos || end < proxy::kMinSpamFlagWord) {
        return fallback;
    }
    return std::string(text.substr(0, end));
}

void fuzzSpamFlagWord(std::string_view bytes) {
    const std::string path = directory().filePath(proxy::kSpamFlagFile);
    directory().writeFile(proxy::kSpamFlagFile, bytes);
    std::string word;
    {
        const AllocationWatch watch;
        word = proxy::readSpamFlagWord(path);
        checkRoom(watch, bytes.size());
    }
    FUZZ_CHECK(word == expectedFlagWord(bytes));
    FUZZ_CHECK(word.size() >= proxy::kMinSpamFlagWord && word.size() <= proxy::kMaxSpamFlagWord);
    FUZZ_CHECK(word.find('\0') == std::string::npos);
    FUZZ_CHECK(proxy::writeSpamFlagWord(word, path));
    FUZZ_CHECK(proxy::readSpamFlagWord(path) == word);
}

// ---- Anim.bin ----

void fuzzAnimSetting(std::string_view bytes) {
    const std::string path = directory().filePath(AnimSetting::kFileName);
    directory().writeFile(AnimSetting::kFileName, bytes);
    bool animate = false;
    {
        const AllocationWatch watch;
        animate = AnimSetting::read(path);
        checkRoom(watch, bytes.size());
    }
    std::array<char, 4> padded{};
    std::memcpy(padded.data(), bytes.data(), std::min(bytes.size(), padded.size()));
    FUZZ_CHECK(animate == (uint32At(std::string_view(padded.data(), padded.size()), 0) == 1));
    FUZZ_CHECK(AnimSetting::write(!animate, path));
    FUZZ_CHECK(AnimSetting::read(path) == !animate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0:
            fuzzTokenTable(bytes);
            break;
        case 1:
            fuzzFilterList(bytes, (data[0] / 5) % 2 != 0 ? kBlackListFile : kWhiteListFile);
            break;
        case 2:
            fuzzSchedule(bytes);
            break;
        case 3:
            fuzzSpamFlagWord(bytes);
            break;
        default:
            fuzzAnimSetting(bytes);
            break;
    }
    return 0;
}
