#include "store/Database.h"
#include "store/HeaderRowFormat.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "diag/Error.h"
#include "diag/SourceName.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/LittleEndian.h"
#include "store/Folder.h"

using namespace store_layout;

namespace {

constexpr const char* kCantOpen = "Can't Open Database";
constexpr const char* kCantOpenFile = "Can't Open Database File";
constexpr const char* kOutOfNumbers =
    "Can't Open Database: the store has run out of email numbers; close the program, "
    "keep HGIndex.hgd as a backup under another name and start again with a new store";
constexpr const char* kOneDeleted = "WARNING: Had to delete a corrupted email!";
constexpr const char* kManyDeleted = "WARNING: Had to delete corrupted emails!";

const std::string kSourceFile(diag::sourceName(__FILE__));

int folderNumber(std::string_view key) {
    return ::folderNumber(folderFromKey(key).value_or(Folder::New));
}

}  // namespace

// Runs one public operation alone. A fault inside becomes a CError that names the
// operation; the lock is released before the error is built.
template <class Body>
auto CDatabase::guarded(const char* operation, int line, Body&& body) {
    std::string failure;
    {
        platform::CriticalSectionGuard lock(m_storeLock);
        try {
            return body();
        } catch (const StoreFault& fault) {
            failure = fault.message;
        }
    }
    throw CError(failure, operation, line, kSourceFile);
}

CDatabase::CDatabase(Desktop& desktop, std::string fileName)
    : m_desktop(desktop), m_fileName(std::move(fileName)) {
    for (auto& table : m_slotTables) {
        table.fill(-1);
    }
    createStoreFile();
    loadFolders();
}

void CDatabase::createStoreFile() {
    if (auto existing = openFile(StoreFile::Mode::Read)) {
        const std::int64_t size = existing->size();
        if (size < kFileSize) {
            throw CError("Database File Is Truncated (" + std::to_string(size) + " of " +
                             std::to_string(kFileSize) + " bytes); restore it from a backup",
                         "CDatabase::CDatabase", __LINE__, kSourceFile);
        }
        return;
    }
    if (!StoreFile::create(m_fileName)) {
        return;  // every later operation reports that the file cannot be opened
    }
    Pop3Settings defaults;
    defaults.serverName = kPlaceholderServerName;
    setPOP3Settings(defaults);
}

void CDatabase::loadFolders() {
    auto file = openFile(StoreFile::Mode::Read);
    if (!file) {
        return;
    }
    char table[kSlotTableSize];
    for (int f = 0; f < kFolderCount; ++f) {
        file->read(folderOffset(f), table, sizeof table);
        auto& slots = m_slotTables[static_cast<std::size_t>(f)];
        auto& index = m_folderIndexes[static_cast<std::size_t>(f)];
        index.clear();
        for (int s = 0; s < kSlotsPerFolder; ++s) {
            slots[static_cast<std::size_t>(s)] = platform::getLeInt32(table + 4 * s);
            if (slots[static_cast<std::size_t>(s)] != -1) {
                index.emplace_back(slots[static_cast<std::size_t>(s)], s);
            }
        }
        std::sort(index.begin(), index.end());
    }
}

std::optional<StoreFile> CDatabase::openFile(StoreFile::Mode mode) const {
    return StoreFile::open(m_fileName, mode);
}

StoreFile CDatabase::openOrFail(StoreFile::Mode mode, const char* message) const {
    auto file = openFile(mode);
    if (!file) {
        throw StoreFault{message};
    }
    return std::move(*file);
}

// ---- settings ----

Pop3Settings CDatabase::getPOP3Settings() {
    return guarded("CDatabase::getPOP3Settings", __LINE__, [&] {
        const StoreFile file = openOrFail(StoreFile::Mode::Read, kCantOpenFile);
        char record[kPop3SettingsSize];
        file.read(kPop3SettingsOffset, record, sizeof record);
        Pop3Settings settings;
        settings.useDomainName = record[0] == 1;
        settings.serverName = fixedText(record + 1, 80);
        settings.ip1 = static_cast<std::uint8_t>(record[81]);
        settings.ip2 = static_cast<std::uint8_t>(record[82]);
        settings.ip3 = static_cast<std::uint8_t>(record[83]);
        settings.ip4 = static_cast<std::uint8_t>(record[84]);
        settings.pop3Port = platform::getLe16(record + 85);
        settings.localPort = platform::getLe16(record + 87);
        return settings;
    });
}

void CDatabase::setPOP3Settings(const Pop3Settings& settings) {
    guarded("CDatabase::setPOP3Settings", __LINE__, [&] {
        const StoreFile file = openOrFail(StoreFile::Mode::Update, kCantOpenFile);
        char record[kPop3SettingsSize];
        record[0] = settings.useDomainName ? 1 : 0;
        putFixedText(record + 1, 80, settings.serverName);
        record[81] = static_cast<char>(settings.ip1);
        record[82] = static_cast<char>(settings.ip2);
        record[83] = static_cast<char>(settings.ip3);
        record[84] = static_cast<char>(settings.ip4);
        platform::putLe16(record + 85, static_cast<std::uint16_t>(settings.pop3Port));
        platform::putLe16(record + 87, static_cast<std::uint16_t>(settings.localPort));
        file.write(kPop3SettingsOffset, record, sizeof record);
    });
}

unsigned char CDatabase::getHarrowgleamState() {
    return guarded("CDatabase::getHarrowgleamState", __LINE__, [&] {
        const StoreFile file = openOrFail(StoreFile::Mode::Read, kCantOpen);
        unsigned char state = 0;
        file.read(kStateOffset, &state, 1);
        return state;
    });
}

void CDatabase::setHarrowgleamState(unsigned char state) {
    guarded("CDatabase::setHarrowgleamState", __LINE__, [&] {
        const StoreFile file = openOrFail(StoreFile::Mode::Update, kCantOpen);
        file.write(kStateOffset, &state, 1);
    });
}

unsigned char CDatabase::changeHarrowgleamState(unsigned char set, unsigned char cleared) {
    return guarded("CDatabase::changeHarrowgleamState", __LINE__, [&] {
        const StoreFile file = openOrFail(StoreFile::Mode::Update, kCantOpen);
        unsigned char state = 0;
        file.read(kStateOffset, &state, 1);
        state = static_cast<unsigned char>((state | set) & ~cleared);
        file.write(kStateOffset, &state, 1);
        return state;
    });
}

int CDatabase::getNextEmailIndex() {
    return guarded("getNextEmailIndex", __LINE__, [&] {
        const StoreFile file = openOrFail(StoreFile::Mode::Update, kCantOpen);
        const std::int32_t counter = file.readInt32(kCounterOffset);
        // Every stored number must stay below the counter, or cleaning takes the
        // record for corrupted and deletes it: the counter never passes its top,
        // and a counter already below zero hands out nothing that could collide
        // with the free-slot mark.
        if (counter < 0 || counter == std::numeric_limits<std::int32_t>::max()) {
            throw StoreFault{kOutOfNumbers};
        }
        file.writeInt32(kCounterOffset, counter + 1);
        return static_cast<int>(counter);
    });
}

int CDatabase::readCounter() const {
    auto file = openFile(StoreFile::Mode::Read);
    if (!file) {
        return -1;
    }
    try {
        return file->readInt32(kCounterOffset);
    } catch (const StoreFault&) {
        return -1;
    }
}

bool CDatabase::getNameServerIP(std::array<std::uint8_t, 4>& address) const {
    auto file = openFile(StoreFile::Mode::Read);
    if (!file) {
        return false;
    }
    try {
        file->read(kNameServerOffset, address.data(), address.size());
        return true;
    } catch (const StoreFault&) {
        return false;
    }
}

bool CDatabase::setNameServerIP(const std::array<std::uint8_t, 4>& address) {
    auto file = openFile(StoreFile::Mode::Update);
    if (!file) {
        return false;
    }
    try {
        file->write(kNameServerOffset, address.data(), address.size());
        return true;
    } catch (const StoreFault&) {
        return false;
    }
}

// ---- slots and folder indexes ----

int CDatabase::findSlot(int folder, int index) const {
    const auto& pairs = m_folderIndexes[static_cast<std::size_t>(folder)];
    const auto found = std::lower_bound(pairs.begin(), pairs.end(), Slot{index, -1});
    if (found == pairs.end() || found->first != index) {
        return -1;
    }
    return found->second;
}

std::optional<CDatabase::Slot> CDatabase::entryAt(int folder, int position) const {
    const auto& pairs = m_folderIndexes[static_cast<std::size_t>(folder)];
    if (position < 0 || static_cast<std::size_t>(position) >= pairs.size()) {
        return std::nullopt;
    }
    return pairs[static_cast<std::size_t>(position)];
}

int CDatabase::freeSlotNumber(int folder) const {
    const auto& slots = m_slotTables[static_cast<std::size_t>(folder)];
    const auto found = std::find(slots.begin(), slots.end(), -1);
    return found == slots.end() ? -1 : static_cast<int>(found - slots.begin());
}

// File first, memory after: a failed write leaves memory equal to the file.
void CDatabase::takeSlot(const StoreFile& file, int folder, int slot, int index) {
    file.writeInt32(slotEntryOffset(folder, slot), index);
    m_slotTables[static_cast<std::size_t>(folder)][static_cast<std::size_t>(slot)] = index;
    auto& pairs = m_folderIndexes[static_cast<std::size_t>(folder)];
    pairs.insert(std::upper_bound(pairs.begin(), pairs.end(), Slot{index, slot}),
                 Slot{index, slot});
}

void CDatabase::freeSlot(const StoreFile& file, int folder, int slot) {
    file.writeInt32(slotEntryOffset(folder, slot), -1);
    auto& entry = m_slotTables[static_cast<std::size_t>(folder)][static_cast<std::size_t>(slot)];
    auto& pairs = m_folderIndexes[static_cast<std::size_t>(folder)];
    // Match the slot too: a damaged table may hold one number twice.
    const auto found = std::find(pairs.begin(), pairs.end(), Slot{entry, slot});
    if (found != pairs.end()) {
        pairs.erase(found);
    }
    entry = -1;
}

// ---- records ----

EmailHeader CDatabase::readFixedPart(const StoreFile& file, int folder, int slot) const {
    EmailHeaderBytes bytes;
    file.read(recordOffset(folder, slot), bytes.data(), bytes.size());
    return decodeEmailHeader(bytes);
}

EmailHeader CDatabase::readRecord(const StoreFile& file, int folder, int slot,
                                  std::string& text) const {
    EmailHeader header = readFixedPart(file, folder, slot);
    header.textLength = std::clamp(header.textLength, 0, kMaxReadTextLength);
    text.resize(static_cast<std::size_t>(header.textLength));
    file.read(recordOffset(folder, slot) + kEmailHeaderSize, text.data(), text.size());
    return header;
}

std::string CDatabase::readText(const StoreFile& file, int folder, int slot) const {
    const std::int32_t length = std::clamp(
        file.readInt32(recordOffset(folder, slot) + kTextLengthField), 0, kMaxValidTextLength);
    std::string text(static_cast<std::size_t>(length), '\0');
    file.read(recordOffset(folder, slot) + kEmailHeaderSize, text.data(), text.size());
    return text;
}

void CDatabase::writeRecord(const StoreFile& file, int folder, int slot, const EmailHeader& header,
                            std::string_view text) const {
    std::string bytes(kEmailHeaderSize, '\0');
    const EmailHeaderBytes fixed = encodeEmailHeader(header);
    std::memcpy(bytes.data(), fixed.data(), fixed.size());
    // Exactly textLength bytes follow; a text shorter than that is padded with NULs.
    const auto length =
        static_cast<std::size_t>(std::clamp<std::int64_t>(header.textLength, 0, kTextAreaSize));
    bytes.append(text.substr(0, length));
    bytes.resize(kEmailHeaderSize + length, '\0');
    file.write(recordOffset(folder, slot), bytes.data(), bytes.size());
}

bool CDatabase::isValid(std::int32_t index, const EmailHeader& header, std::int32_t counter) const {
    return index >= 0 && index < counter && header.textLength >= 1 &&
           header.textLength <= kMaxValidTextLength;
}

// ---- folder operations ----

std::string CDatabase::getEmailCount(std::string_view folder, int& count) {
    platform::CriticalSectionGuard lock(m_storeLock);
    count =
        static_cast<int>(m_folderIndexes[static_cast<std::size_t>(folderNumber(folder))].size());
    return std::to_string(count);
}

int CDatabase::emailCount(std::string_view folder) {
    int count = 0;
    getEmailCount(folder, count);
    return count;
}

std::vector<int> CDatabase::emailIndexes(std::string_view folder) {
    platform::CriticalSectionGuard lock(m_storeLock);
    std::vector<int> indexes;
    for (const Slot& pair : m_folderIndexes[static_cast<std::size_t>(folderNumber(folder))]) {
        indexes.push_back(pair.first);
    }
    return indexes;
}

bool CDatabase::getEmailHeader(int index, std::string_view folder, EmailHeader& header,
                               std::string& text) {
    return guarded("CDatabase::getEmailHeader", __LINE__, [&] {
        const int f = folderNumber(folder);
        const int slot = findSlot(f, index);
        if (slot < 0) {
            return false;
        }
        const StoreFile file = openOrFail(StoreFile::Mode::Read, kCantOpen);
        header = readRecord(file, f, slot, text);
        return true;
    });
}

bool CDatabase::setEmailHeader(int index, std::string_view folder, const EmailHeader& header,
                               std::string_view text) {
    return guarded("CDatabase::setEmailHeader", __LINE__, [&] {
        const int f = folderNumber(folder);
        const StoreFile file = openOrFail(StoreFile::Mode::Update, kCantOpen);
        const int slot = freeSlotNumber(f);
        if (slot < 0) {
            throw StoreFault{kCantOpen};
        }
        // The record goes into the free slot before the slot is taken, so a
        // failure or crash in between leaves the slot free, not pointing at junk.
        writeRecord(file, f, slot, header, text);
        takeSlot(file, f, slot, index);
        return true;
    });
}

bool CDatabase::addNewEmail(int index, const EmailHeader& header, std::string_view text) {
    platform::CriticalSectionGuard lock(m_storeLock);
    if (freeSlotNumber(::folderNumber(Folder::New)) < 0) {
        trimTrash();
        trimFolderToTrash(folderKey(Folder::New));
    }
    return setEmailHeader(index, folderKey(Folder::New), header, text);
}

bool CDatabase::deleteEmailHeader(int index, std::string_view folder) {
    return guarded("CDatabase::deleteEmailHeader", __LINE__, [&] {
        const int f = folderNumber(folder);
        const int slot = findSlot(f, index);
        if (slot < 0) {
            return false;
        }
        const StoreFile file = openOrFail(StoreFile::Mode::Update, kCantOpen);
        freeSlot(file, f, slot);
        return true;
    });
}

bool CDatabase::getNextEmailText(int& position, std::string_view folder, std::string& text) {
    return guarded("CDatabase::getNextEmailText", __LINE__, [&] {
        const int f = folderNumber(folder);
        const auto entry = entryAt(f, position);
        if (!entry) {
            return false;
        }
        const StoreFile file = openOrFail(StoreFile::Mode::Read, kCantOpen);
        text = readText(file, f, entry->second);
        ++position;
        return true;
    });
}

bool CDatabase::moveEmails(std::string_view from, std::string_view to,
                           std::span<const int> indexes) {
    platform::CriticalSectionGuard lock(m_storeLock);
    const int counter = readCounter();
    if (counter < 0) {
        // Without the counter every record would look corrupted and be dropped.
        throw CError(kCantOpen, "moveEmails", __LINE__, kSourceFile);
    }
    EmailHeader header;
    std::string text;
    for (const int index : indexes) {
        if (!getEmailHeader(index, from, header, text)) {
            continue;
        }
        if (isValid(index, header, counter)) {
            setEmailHeader(index, to, header, text);
        }
        deleteEmailHeader(index, from);
    }
    return true;
}

bool CDatabase::copyEmail(std::string_view folder, int index, int& newIndex, int& delTime) {
    platform::CriticalSectionGuard lock(m_storeLock);
    EmailHeader header;
    std::string text;
    if (!getEmailHeader(index, folder, header, text)) {
        newIndex = -1;
        return true;
    }
    newIndex = getNextEmailIndex();
    delTime = static_cast<int>(platform::secondsSince1970());
    header.delTime = delTime;
    setEmailHeader(newIndex, folder, header, text);
    return true;
}

bool CDatabase::deleteTrashEmails(std::span<const int> indexes) {
    platform::CriticalSectionGuard lock(m_storeLock);
    for (const int index : indexes) {
        deleteEmailHeader(index, folderKey(Folder::Trash));
    }
    return true;
}

bool CDatabase::trimFolderToTrash(std::string_view folder) {
    platform::CriticalSectionGuard lock(m_storeLock);
    const int count = emailCount(folder);
    if (count <= kFolderLimit) {
        return false;
    }
    const int f = folderNumber(folder);
    EmailHeader header;
    std::string text;
    for (int n = count - kFolderLimit; n > 0; --n) {
        const auto oldest = entryAt(f, 0);
        if (!oldest || !getEmailHeader(oldest->first, folder, header, text)) {
            break;
        }
        setEmailHeader(oldest->first, folderKey(Folder::Trash), header, text);
        deleteEmailHeader(oldest->first, folder);
    }
    return true;
}

bool CDatabase::trimTrash() {
    platform::CriticalSectionGuard lock(m_storeLock);
    const int count = emailCount(folderKey(Folder::Trash));
    if (count <= kFolderLimit) {
        return false;
    }
    const int f = ::folderNumber(Folder::Trash);
    for (int n = count - kFolderLimit; n > 0; --n) {
        const auto oldest = entryAt(f, 0);
        if (!oldest) {
            break;
        }
        deleteEmailHeader(oldest->first, folderKey(Folder::Trash));
    }
    return true;
}

// Walks a folder in index order. Corrupted records are freed (or, for a reader,
// skipped); each valid one is handed to the sink. Returns how many were corrupted.
int CDatabase::cleaningWalk(std::string_view folder, const HeaderRowSink* sink,
                            bool deleteCorrupted) {
    const int f = folderNumber(folder);
    const StoreFile file =
        openOrFail(deleteCorrupted ? StoreFile::Mode::Update : StoreFile::Mode::Read, kCantOpen);
    const std::int32_t counter = file.readInt32(kCounterOffset);
    int corrupted = 0;
    int position = 0;
    while (const auto entry = entryAt(f, position)) {
        const EmailHeader header = readFixedPart(file, f, entry->second);
        if (!isValid(entry->first, header, counter)) {
            ++corrupted;
            if (deleteCorrupted) {
                freeSlot(file, f, entry->second);  // the next email now sits at this position
                continue;
            }
        } else if (sink) {
            (*sink)(makeHeaderRow(entry->first, header));
        }
        ++position;
    }
    return corrupted;
}

int CDatabase::cleanEmailHeaders(std::string_view folder) {
    return guarded("CDatabase::cleanEmailHeaders", __LINE__,
                   [&] { return cleaningWalk(folder, nullptr, true); });
}

void CDatabase::warnAboutDeleted(int deleted) {
    if (deleted == 1) {
        m_desktop.showTimedBox(kOneDeleted);
    } else if (deleted > 1) {
        m_desktop.showTimedBox(kManyDeleted);
    }
}

void CDatabase::cleanAllFolders() {
    platform::CriticalSectionGuard lock(m_storeLock);
    int total = 0;
    for (const Folder folder : kAllFolders) {
        total += cleanEmailHeaders(folderKey(folder));
    }
    warnAboutDeleted(total);
}

bool CDatabase::loadEmailHeaders(std::string_view folder, const HeaderRowSink& sink) {
    platform::CriticalSectionGuard lock(m_storeLock);
    const int deleted = guarded("CDatabase::loadEmailHeaders", __LINE__,
                                [&] { return cleaningWalk(folder, &sink, true); });
    m_desktop.refreshFolderCounts();
    warnAboutDeleted(deleted);
    return true;
}

void CDatabase::readEmailHeaders(std::string_view folder, const HeaderRowSink& sink) {
    guarded("CDatabase::readEmailHeaders", __LINE__,
            [&] { return cleaningWalk(folder, &sink, false); });
}

bool CDatabase::copyStoreFile(const std::string& destination) {
    platform::CriticalSectionGuard lock(m_storeLock);
    return platform::copyFile(m_fileName, destination);
}
