#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desktop/Desktop.h"
#include "platform/CriticalSection.h"
#include "store/EmailHeader.h"
#include "desktop/HeaderRow.h"
#include "store/Pop3Settings.h"
#include "store/StoreFile.h"
#include "store/StoreLayout.h"

// The email store: six folders of fixed-size records and the settings records,
// all in HGIndex.hgd. One object serves the proxy, the filter builder and the
// views; every public operation but the name-server accessors runs alone under
// the store lock, and failures come out as CErrors naming the operation.
class CDatabase {
  public:
    static constexpr const char* kDefaultFileName = "HGIndex.hgd";
    static constexpr const char* kPlaceholderServerName = "pop.example.com";

    // Opens the store file, creating it when there is none. A file shorter than a
    // store file is reported as a CError and left untouched for the user to
    // restore from a backup.
    explicit CDatabase(Desktop& desktop, std::string fileName = kDefaultFileName);
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    Pop3Settings getPOP3Settings();
    void setPOP3Settings(const Pop3Settings& settings);
    unsigned char getHarrowgleamState();
    void setHarrowgleamState(unsigned char state);
    // Sets the `set` bits and clears the `cleared` ones in one step under the
    // store lock, so that two switches writing their own bits at the same time
    // never undo each other; returns the byte written.
    unsigned char changeHarrowgleamState(unsigned char set, unsigned char cleared);
    int getNextEmailIndex();
    // The counter as it stands, read without the lock; -1 when the file cannot be read.
    int readCounter() const;
    bool getNameServerIP(std::array<std::uint8_t, 4>& address) const;
    bool setNameServerIP(const std::array<std::uint8_t, 4>& address);

    std::string getEmailCount(std::string_view folder, int& count);
    int emailCount(std::string_view folder);
    bool getEmailHeader(int index, std::string_view folder, EmailHeader& header, std::string& text);
    bool setEmailHeader(int index, std::string_view folder, const EmailHeader& header,
                        std::string_view text);
    bool deleteEmailHeader(int index, std::string_view folder);
    bool getNextEmailText(int& position, std::string_view folder, std::string& text);

    bool moveEmails(std::string_view from, std::string_view to, std::span<const int> indexes);
    bool copyEmail(std::string_view folder, int index, int& newIndex, int& delTime);
    bool deleteTrashEmails(std::span<const int> indexes);
    bool trimFolderToTrash(std::string_view folder);
    bool trimTrash();

    int cleanEmailHeaders(std::string_view folder);
    void cleanAllFolders();
    // Cleans the folder and hands a row for each valid email to the sink.
    bool loadEmailHeaders(std::string_view folder, const HeaderRowSink& sink);
    // The rows of the valid emails, without cleaning anything: for readers that
    // must not change the store.
    void readEmailHeaders(std::string_view folder, const HeaderRowSink& sink);
    // Index numbers of a folder, ascending.
    std::vector<int> emailIndexes(std::string_view folder);

    // Copies the store file while no operation can change it.
    bool copyStoreFile(const std::string& destination);
    const std::string& fileName() const { return m_fileName; }

  private:
    using Slot = std::pair<std::int32_t, int>;  // (email index number, slot)

    template <class Body>
    auto guarded(const char* operation, int line, Body&& body);

    void createStoreFile();
    void loadFolders();
    std::optional<StoreFile> openFile(StoreFile::Mode mode) const;
    StoreFile openOrFail(StoreFile::Mode mode, const char* message) const;

    int findSlot(int folder, int index) const;
    std::optional<Slot> entryAt(int folder, int position) const;
    int freeSlotNumber(int folder) const;
    void takeSlot(const StoreFile& file, int folder, int slot, int index);
    void freeSlot(const StoreFile& file, int folder, int slot);

    EmailHeader readFixedPart(const StoreFile& file, int folder, int slot) const;
    EmailHeader readRecord(const StoreFile& file, int folder, int slot, std::string& text) const;
    std::string readText(const StoreFile& file, int folder, int slot) const;
    void writeRecord(const StoreFile& file, int folder, int slot, const EmailHeader& header,
                     std::string_view text) const;
    bool isValid(std::int32_t index, const EmailHeader& header, std::int32_t counter) const;
    int cleaningWalk(std::string_view folder, const HeaderRowSink* sink, bool deleteCorrupted);
    void warnAboutDeleted(int deleted);

    Desktop& m_desktop;
    const std::string m_fileName;
    platform::CriticalSection m_storeLock;
    std::array<std::array<std::int32_t, store_layout::kSlotsPerFolder>, store_layout::kFolderCount>
        m_slotTables{};
    std::array<std::vector<Slot>, store_layout::kFolderCount> m_folderIndexes;
};
