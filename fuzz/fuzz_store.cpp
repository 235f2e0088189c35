// HGIndex.hgd is the user's mail: a damaged file must cost at most the records
// that the damage touched. The target makes one valid store with records in
// every folder, then for each input writes that store afresh, overwrites bytes
// of it where damage matters (slot tables, record fields, text lengths, the
// counter), and runs what the program does with a store: start-up, cleaning,
// loading every folder into the header list, reading every text, and moving
// every folder's mail to another folder.
//
// Input: byte 0 is the plan (which folder each folder's mail moves to, and
// whether the moves come before the cleaning); the rest is a list of patches,
// each an operation byte, a folder byte, two slot bytes, a length byte and the
// bytes it writes (see PatchDecoder::decode).
//
// Checks: no crash; every record that was valid before and that no patch
// touched is still in the store afterwards, with its fields and text; the
// store's folders as the running object keeps them equal those a fresh start
// reads from the file; and once cleaned, a store has nothing left to clean.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desktop/Desktop.h"
#include "diag/Error.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzDirectory.h"
#include "platform/LittleEndian.h"
#include "store/Database.h"
#include "store/EmailHeader.h"
#include "store/Folder.h"
#include "store/StoreLayout.h"

namespace {

using namespace store_layout;

constexpr std::size_t kMaxPatches = 32;
constexpr std::size_t kMaxPatchLength = 64;
// The store file is written back whole for every input, but only its bytes
// that are not 0 need writing: the rest of a new file reads as 0.
constexpr std::int64_t kExtentBlock = 4096;

// Counts the warnings; nothing else of a desktop is needed.
class CountingDesktop : public Desktop {
  public:
    void showTimedBox(const std::string&) override { ++m_boxes; }
    void refreshFolderCounts() override {}
    void setStatusText(StatusPane, const std::string&) override {}
    void runBuilderDialog(BuilderJob&) override {}
    void postRefreshViews(int, platform::Event&) override {}
    int askForPort(int currentPort, const std::string&) override { return currentPort; }
    bool isNewEmailsShown() override { return false; }
    void addHeaderRow(const HeaderRow&) override {}
    void showMessage(const std::string&) override {}

    int boxes() const { return m_boxes; }

  private:
    int m_boxes = 0;
};

// One record of the base store, as the file holds it.
struct BaseRecord {
    int folder;
    int slot;
    std::int32_t index;
    EmailHeader header;
    std::string text;
};

struct ByteRange {
    std::int64_t begin;
    std::int64_t end;
    bool overlaps(std::int64_t from, std::int64_t to) const { return begin < to && from < end; }
};

// ---------------------------------------------------------------- base store

std::string bodyText(int length, char first) {
    std::string text;
    for (int i = 0; i < length; ++i) {
        text.push_back(static_cast<char>(first + i % 23));
    }
    return text;
}

EmailHeader baseHeader(int number, int textLength) {
    EmailHeader header;
    header.from = number % 5 == 0 ? std::string(100, 'f') : "sender" + std::to_string(number);
    header.to = "me@example.org";
    header.subject = number % 4 == 0 ? std::string(150, 's') : "subject " + std::to_string(number);
    header.day = static_cast<std::uint8_t>(1 + number % 31);
    header.month = static_cast<std::uint8_t>(number % 14);  // 0 and 13 are out of range
    header.year = static_cast<std::uint16_t>(2000 + number);
    header.hour = static_cast<std::uint8_t>(number % 24);
    header.minute = static_cast<std::uint8_t>(number * 7 % 60);
    header.headerLength = 40 + number;
    header.textLength = textLength;
    header.delTime = 1141891500 + number;
    header.reserved = static_cast<std::uint8_t>(number % 3);
    return header;
}

// Six records a folder, numbered out of slot order, with the second and the
// fourth deleted again: their bytes stay behind in free slots, where a damaged
// table entry can bring them back.
void fillBaseStore(CDatabase& database) {
    constexpr std::array<int, 6> kLengths = {1, 37, 300, 4999, 5010, 5020};
    std::vector<int> numbers;
    for (int i = 0; i < kFolderCount * 6; ++i) {
        numbers.push_back(database.getNextEmailIndex());
    }
    std::reverse(numbers.begin(), numbers.end());
    int next = 0;
    for (const Folder folder : kAllFolders) {
        const std::string_view key = folderKey(folder);
        std::vector<int> added;
        for (int i = 0; i < 6; ++i) {
            const int number = numbers[static_cast<std::size_t>(next++)];
            const int length = kLengths[static_cast<std::size_t>((i + next) % 6)];
            EmailHeader header = baseHeader(number, length);
            FUZZ_CHECK(database.setEmailHeader(number, key, header,
                                               bodyText(length, static_cast<char>('a' + i))));
            added.push_back(number);
        }
        FUZZ_CHECK(database.deleteEmailHeader(added[1], key));
        FUZZ_CHECK(database.deleteEmailHeader(added[3], key));
    }
    // Numbers above every stored one are still free.
    database.getNextEmailIndex();
    database.getNextEmailIndex();
}

// The store file as the checks read it, behind the store's back: opened once
// for all the reads of a check.
class FileReader {
  public:
    explicit FileReader(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        FUZZ_CHECK(m_fd >= 0);
    }
    ~FileReader() { ::close(m_fd); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    std::string read(std::int64_t offset, std::size_t size) const {
        std::string bytes(size, '\0');
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = ::pread(m_fd, bytes.data() + done, size - done,
                                        offset + static_cast<std::int64_t>(done));
            FUZZ_CHECK(got > 0);
            done += static_cast<std::size_t>(got);
        }
        return bytes;
    }
    EmailHeader headerAt(int folder, int slot) const {
        EmailHeaderBytes bytes;
        const std::string fixed = read(recordOffset(folder, slot), bytes.size());
        std::copy(fixed.begin(), fixed.end(), bytes.begin());
        return decodeEmailHeader(bytes);
    }
    std::int32_t int32At(std::int64_t offset) const {
        return platform::getLeInt32(read(offset, 4).data());
    }

  private:
    int m_fd;
};

void writeFileBytes(int fd, std::int64_t offset, std::string_view bytes) {
    FUZZ_CHECK(::pwrite(fd, bytes.data(), bytes.size(), offset) ==
               static_cast<ssize_t>(bytes.size()));
}

// The file's blocks that hold anything but 0, merged where they touch.
std::vector<std::pair<std::int64_t, std::string>> nonZeroExtents(const std::string& path) {
    const std::string whole = FileReader(path).read(0, static_cast<std::size_t>(kFileSize));
    std::vector<std::pair<std::int64_t, std::string>> extents;
    for (std::int64_t at = 0; at < kFileSize; at += kExtentBlock) {
        const std::size_t size = static_cast<std::size_t>(std::min(kExtentBlock, kFileSize - at));
        const std::string_view block(whole.data() + at, size);
        if (block.find_first_not_of('\0') == std::string_view::npos) {
            continue;
        }
        if (!extents.empty() &&
            extents.back().first + static_cast<std::int64_t>(extents.back().second.size()) == at) {
            extents.back().second += block;
        } else {
            extents.emplace_back(at, std::string(block));
        }
    }
    return extents;
}

// ---------------------------------------------------------------- patches

// Where a record field lies in the record, and how long it is.
struct Field {
    std::int64_t offset;
    std::int64_t size;
};
constexpr std::array<Field, 12> kFields = {{{0, 80},
                                            {80, 80},
                                            {160, 120},
                                            {280, 1},
                                            {281, 1},
                                            {282, 2},
                                            {284, 1},
                                            {285, 1},
                                            {286, 4},
                                            {290, 4},
                                            {294, 4},
                                            {298, 1}}};

std::array<char, 4> littleEndian(std::int32_t value) {
    std::array<char, 4> bytes;
    platform::putLeInt32(bytes.data(), value);
    return bytes;
}

class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_at >= m_size; }
    std::uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::string bytes(std::size_t count) {
        count = std::min(count, m_size - std::min(m_at, m_size));
        std::string taken(reinterpret_cast<const char*>(m_data + m_at), count);
        m_at += count;
        return taken;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

struct Patch {
    std::int64_t offset;
    std::string bytes;
};

// Turns input bytes into patches aimed where damage matters: table entries and
// record fields of the slots that hold or held records, text lengths at their
// edges, and, more rarely, any byte of a record or of the file's head.
class PatchDecoder {
  public:
    PatchDecoder(const std::vector<BaseRecord>& records, std::int32_t counter)
        : m_counter(counter) {
        for (const BaseRecord& record : records) {
            m_knownSlots[static_cast<std::size_t>(record.folder)].push_back(record.slot);
            m_indexes.push_back(record.index);
        }
        for (auto& slots : m_knownSlots) {
            // The freed slots between, and the first never used.
            const int highest = slots.empty() ? 0 : *std::max_element(slots.begin(), slots.end());
            for (int slot = 0; slot <= highest + 1; ++slot) {
                if (std::find(slots.begin(), slots.end(), slot) == slots.end()) {
                    slots.push_back(slot);
                }
            }
        }
    }

    Patch decode(InputReader& in) {
        const std::uint8_t operation = in.byte();
        const std::uint8_t where = in.byte();
        const std::uint8_t high = in.byte();
        const std::uint8_t low = in.byte();
        const std::size_t length = in.byte() % (kMaxPatchLength + 1);
        const int folder = where % kFolderCount;
        const std::uint8_t pick = operation / 8;
        switch (operation % 8) {
            case 0:
                return {slotEntryOffset(folder, pickSlot(folder, high, low)), in.bytes(4)};
            case 1:
                // A run of entries, as a stray write over the table would leave.
                return {slotEntryOffset(folder, pickSlot(folder, high, low)), in.bytes(length)};
            case 2:
                return entryValue(folder, pickSlot(folder, high, low), pick);
            case 3:
            case 4:
                return field(folder, pickSlot(folder, high, low), pick, in.bytes(length));
            case 5:
                return textLength(folder, pickSlot(folder, high, low), pick);
            case 6:
                return {recordOffset(folder, knownSlot(folder, where / kFolderCount)) +
                            (high << 8 | low) % kRecordSize,
                        in.bytes(length)};
            default:
                return {high % kHeaderAreaSize, in.bytes(std::min<std::size_t>(length, 8))};
        }
    }

  private:
    // Mostly a slot that holds or held a record; sometimes any slot.
    int pickSlot(int folder, std::uint8_t high, std::uint8_t low) const {
        if (high & 0x80) {
            return ((high & 0x7F) << 8 | low) % kSlotsPerFolder;
        }
        return knownSlot(folder, low);
    }

    int knownSlot(int folder, std::uint8_t pick) const {
        const auto& known = m_knownSlots[static_cast<std::size_t>(folder)];
        return known[pick % known.size()];
    }

    // Numbers that make a table entry interesting: free, negative, at and
    // around the counter, and the numbers of the records already stored.
    std::int32_t interestingNumber(std::uint8_t pick) const {
        const std::array<std::int32_t, 7> kinds = {-1,
                                                   -2,
                                                   0,
                                                   m_counter - 1,
                                                   m_counter,
                                                   std::numeric_limits<std::int32_t>::max(),
                                                   std::numeric_limits<std::int32_t>::min()};
        if (pick < kinds.size() * 2) {
            return kinds[pick % kinds.size()];
        }
        return m_indexes.empty() ? 0 : m_indexes[pick % m_indexes.size()];
    }

    Patch entryValue(int folder, int slot, std::uint8_t pick) const {
        const auto bytes = littleEndian(interestingNumber(pick));
        return {slotEntryOffset(folder, slot), std::string(bytes.data(), bytes.size())};
    }

    static Patch field(int folder, int slot, std::uint8_t pick, std::string bytes) {
        const Field& chosen = kFields[pick % kFields.size()];
        bytes.resize(std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(chosen.size)));
        return {recordOffset(folder, slot) + chosen.offset, std::move(bytes)};
    }

    static Patch textLength(int folder, int slot, std::uint8_t pick) {
        constexpr std::array<std::int32_t, 12> kLengths = {
            0,    1,    2,    4998, 4999, 5000,
            5020, 5021, 6000, 6001, -1,   std::numeric_limits<std::int32_t>::min()};
        const auto bytes = littleEndian(kLengths[pick % kLengths.size()]);
        return {recordOffset(folder, slot) + kTextLengthField,
                std::string(bytes.data(), bytes.size())};
    }

    std::array<std::vector<int>, kFolderCount> m_knownSlots;
    std::vector<std::int32_t> m_indexes;
    std::int32_t m_counter;
};

// ---------------------------------------------------------------- the run

struct Plan {
    std::array<int, kFolderCount> destination{};
    bool movesFirst = false;
};

Plan decodePlan(std::uint8_t byte) {
    Plan plan;
    const int shift = 1 + byte % 5;
    for (int f = 0; f < kFolderCount; ++f) {
        plan.destination[static_cast<std::size_t>(f)] = (f + shift) % kFolderCount;
    }
    plan.movesFirst = (byte & 0x80) != 0;
    return plan;
}

std::string_view keyOf(int folder) {
    return folderKey(kAllFolders[static_cast<std::size_t>(folder)]);
}

// A failed operation is the store's answer to a damaged file (a full folder,
// an impossible counter), and the run goes on to the next one.
template <class Operation>
void tolerated(Operation&& operation) {
    try {
        operation();
    } catch (const CError&) {
    }
}

class StoreWorld {
  public:
    StoreWorld() : m_directory("store"), m_path(m_directory.filePath(CDatabase::kDefaultFileName)) {
        FUZZ_CHECK(::chdir(m_directory.path().c_str()) == 0);
        {
            CDatabase database(m_desktop, m_path);
            fillBaseStore(database);
            m_records = storedRecords(database);
            m_counter = database.readCounter();
        }
        FUZZ_CHECK(m_records.size() == kFolderCount * 4u);
        readRecordsFromFile();
        m_extents = nonZeroExtents(m_path);
        m_decoder.emplace(m_records, m_counter);
    }

    void run(const std::uint8_t* data, std::size_t size) {
        InputReader in(data, size);
        const Plan plan = decodePlan(in.byte());
        writeBaseStore();
        const std::vector<ByteRange> damaged = applyPatches(in);
        const std::vector<const BaseRecord*> kept = untouchedRecords(damaged);

        CDatabase database(m_desktop, m_path);
        if (plan.movesFirst) {
            moveAll(database, plan);
        }
        tolerated([&] { database.cleanAllFolders(); });
        loadAll(database);
        readAllTexts(database);
        if (!plan.movesFirst) {
            moveAll(database, plan);
        }
        checkKept(kept);
        checkSameAsFile(database);
        checkNothingLeftToClean(database);
    }

  private:
    static std::vector<BaseRecord> storedRecords(CDatabase& database) {
        std::vector<BaseRecord> records;
        for (int f = 0; f < kFolderCount; ++f) {
            for (const int index : database.emailIndexes(keyOf(f))) {
                records.push_back(BaseRecord{f, -1, index, {}, {}});
            }
        }
        return records;
    }

    // Slots are not part of the public face of the store, and a read through it
    // cuts texts at 4,999 bytes: the records as they are come from the file.
    void readRecordsFromFile() {
        const FileReader file(m_path);
        for (BaseRecord& record : m_records) {
            const std::string table = file.read(folderOffset(record.folder), kSlotTableSize);
            for (int s = 0; s < kSlotsPerFolder; ++s) {
                if (platform::getLeInt32(table.data() + 4 * s) == record.index) {
                    record.slot = s;
                }
            }
            FUZZ_CHECK(record.slot >= 0);
            record.header = file.headerAt(record.folder, record.slot);
            record.text = file.read(recordOffset(record.folder, record.slot) + kEmailHeaderSize,
                                    static_cast<std::size_t>(record.header.textLength));
        }
    }

    // Every input starts from the same bytes. Putting back the patched ranges
    // would not do: the moves of the last run wrote records and entries too.
    // So the file is emptied and only its non-zero blocks are written back,
    // which costs a fraction of a copy.
    void writeBaseStore() {
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        FUZZ_CHECK(fd >= 0);
        FUZZ_CHECK(::ftruncate(fd, kFileSize) == 0);
        for (const auto& [offset, bytes] : m_extents) {
            writeFileBytes(fd, offset, bytes);
        }
        ::close(fd);
    }

    std::vector<ByteRange> applyPatches(InputReader& in) {
        std::vector<ByteRange> damaged;
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
        FUZZ_CHECK(fd >= 0);
        for (std::size_t n = 0; n < kMaxPatches && !in.atEnd(); ++n) {
            const Patch patch = m_decoder->decode(in);
            writeFileBytes(fd, patch.offset, patch.bytes);
            damaged.push_back(
                {patch.offset, patch.offset + static_cast<std::int64_t>(patch.bytes.size())});
        }
        ::close(fd);
        return damaged;
    }

    // The base records that no patch touched: neither their table entry nor
    // the bytes of their record, and whose number the counter still allows.
    std::vector<const BaseRecord*> untouchedRecords(const std::vector<ByteRange>& damaged) const {
        const std::int32_t counter = FileReader(m_path).int32At(kCounterOffset);
        std::vector<const BaseRecord*> kept;
        for (const BaseRecord& record : m_records) {
            const std::int64_t entry = slotEntryOffset(record.folder, record.slot);
            const std::int64_t start = recordOffset(record.folder, record.slot);
            const std::int64_t end = start + kEmailHeaderSize + record.header.textLength;
            const bool touched =
                std::any_of(damaged.begin(), damaged.end(), [&](const ByteRange& r) {
                    return r.overlaps(entry, entry + 4) || r.overlaps(start, end);
                });
            if (!touched && record.index < counter) {
                kept.push_back(&record);
            }
        }
        return kept;
    }

    void moveAll(CDatabase& database, const Plan& plan) {
        for (int f = 0; f < kFolderCount; ++f) {
            const std::vector<int> indexes = database.emailIndexes(keyOf(f));
            tolerated([&] {
                database.moveEmails(keyOf(f), keyOf(plan.destination[static_cast<std::size_t>(f)]),
                                    indexes);
            });
        }
    }

    void loadAll(CDatabase& database) {
        for (int f = 0; f < kFolderCount; ++f) {
            std::size_t rows = 0;
            bool loaded = false;
            tolerated([&] {
                loaded = database.loadEmailHeaders(keyOf(f), [&](const HeaderRow&) { ++rows; });
            });
            // Loading cleans: every email the folder still holds got its row.
            FUZZ_CHECK(!loaded || rows == static_cast<std::size_t>(database.emailCount(keyOf(f))));
        }
    }

    void readAllTexts(CDatabase& database) {
        for (int f = 0; f < kFolderCount; ++f) {
            int position = 0;
            std::string text;
            int read = 0;
            tolerated([&] {
                while (database.getNextEmailText(position, keyOf(f), text)) {
                    FUZZ_CHECK(text.size() <= static_cast<std::size_t>(kMaxValidTextLength));
                    ++read;
                }
            });
            FUZZ_CHECK(read == position);
        }
    }

    // Each kept record is in some folder under its number, with its fields and
    // its text; a move may have cut a text above 4,999 bytes to 4,999.
    void checkKept(const std::vector<const BaseRecord*>& kept) const {
        const FileReader file(m_path);
        std::array<std::string, kFolderCount> tables;
        for (int f = 0; f < kFolderCount; ++f) {
            tables[static_cast<std::size_t>(f)] = file.read(folderOffset(f), kSlotTableSize);
        }
        for (const BaseRecord* record : kept) {
            FUZZ_CHECK(isStored(file, tables, *record));
        }
    }

    static bool isStored(const FileReader& file,
                         const std::array<std::string, kFolderCount>& tables,
                         const BaseRecord& record) {
        for (int f = 0; f < kFolderCount; ++f) {
            const std::string& table = tables[static_cast<std::size_t>(f)];
            for (int s = 0; s < kSlotsPerFolder; ++s) {
                if (platform::getLeInt32(table.data() + 4 * s) == record.index &&
                    holds(file, f, s, record)) {
                    return true;
                }
            }
        }
        return false;
    }

    static bool holds(const FileReader& file, int folder, int slot, const BaseRecord& record) {
        EmailHeader header = file.headerAt(folder, slot);
        const std::int32_t length = header.textLength;
        const std::int32_t original = record.header.textLength;
        if (length != original && length != std::min(original, kMaxReadTextLength)) {
            return false;
        }
        header.textLength = original;
        if (!(header == record.header)) {
            return false;
        }
        const std::string text = file.read(recordOffset(folder, slot) + kEmailHeaderSize,
                                           static_cast<std::size_t>(length));
        return record.text.compare(0, static_cast<std::size_t>(length), text) == 0;
    }

    // What the running store keeps in memory is what a new start would read.
    void checkSameAsFile(CDatabase& database) {
        CDatabase fresh(m_desktop, m_path);
        for (int f = 0; f < kFolderCount; ++f) {
            FUZZ_CHECK(database.emailIndexes(keyOf(f)) == fresh.emailIndexes(keyOf(f)));
        }
    }

    void checkNothingLeftToClean(CDatabase& database) {
        tolerated([&] { database.cleanAllFolders(); });
        const int boxes = m_desktop.boxes();
        tolerated([&] { database.cleanAllFolders(); });
        FUZZ_CHECK(m_desktop.boxes() == boxes);
    }

    FuzzDirectory m_directory;
    const std::string m_path;
    CountingDesktop m_desktop;
    std::vector<BaseRecord> m_records;
    std::int32_t m_counter = 0;
    std::vector<std::pair<std::int64_t, std::string>> m_extents;
    std::optional<PatchDecoder> m_decoder;
};

StoreWorld* g_world = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_world = new StoreWorld();
    // The world's directory holds a whole store file in memory-backed space.
    std::atexit([] {
        delete g_world;
        g_world = nullptr;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    g_world->run(data, size);
    return 0;
}
