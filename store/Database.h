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
#include "desktop/HeaderRow.h"
#include "platform/CriticalSection.h"
#include "store/EmailHeader.h"
#include "store/Folder.h"
#include "store/Pop3Settings.h"
#include "store/ProgramState.h"
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

    // The server settings record. Throws CError when the file cannot be opened
    // ("Can't Open Database File"), read or written.
    Pop3Settings getPOP3Settings();
    void setPOP3Settings(const Pop3Settings& settings);
    // The state byte whole (ProgramState reads its switches). Throws CError
    // when the file cannot be opened ("Can't Open Database"), read or written.
    unsigned char getHarrowgleamState();
    void setHarrowgleamState(unsigned char state);
    // Sets the `set` bits and clears the `cleared` ones in one step under the
    // store lock, so that two switches writing their own bits at the same time
    // never undo each other; returns the byte written.
    unsigned char changeHarrowgleamState(unsigned char set, unsigned char cleared);
    // The same step for the switches the change names; returns the state written.
    ProgramState changeProgramState(const StateChange& change) {
        return changeHarrowgleamState(change.setBits(), change.clearedBits());
    }
    // Hands out the counter's value and raises the counter by one, so every
    // number is given once. Throws CError when the file cannot be opened, and
    // when the counter stands at its top (or below zero): the number is then
    // refused and the counter stays above every stored number, since cleaning
    // deletes any record whose number is not below it.
    int getNextEmailIndex();
    // The counter as it stands, read without the lock; -1 when the file cannot be read.
    int readCounter() const;
    // The name server for block-list queries, read or written without the store
    // lock. False when the file cannot be opened, read or written; `address`
    // then holds nothing to rely on.
    bool getNameServerIP(std::array<std::uint8_t, 4>& address) const;
    bool setNameServerIP(const std::array<std::uint8_t, 4>& address);

    // How many emails the folder holds, from the slot table in memory (nothing
    // is read from the file and nothing fails): as a number in `count` and as
    // decimal text. Here and below a folder is named by its key (folderKey);
    // an unknown key means New Emails.
    std::string getEmailCount(std::string_view folder, int& count);
    int emailCount(std::string_view folder);
    // False when the folder holds no email with that number. True with the
    // record's fixed part and its text, whose length is cut to 0..4,999 bytes;
    // the record is not checked for damage (cleaning does that). Throws CError
    // when the file cannot be read.
    bool getEmailHeader(int index, std::string_view folder, EmailHeader& header, std::string& text);
    // Stores a record under `index` in the folder's lowest free slot, with
    // header.textLength bytes of text (NUL-padded when `text` is shorter). The
    // number is taken as given: neither checked against the counter nor for a
    // second copy in the folder. True when stored. Throws CError ("Can't Open
    // Database") when the folder is full or the write fails; the folder is then
    // as it was.
    bool setEmailHeader(int index, std::string_view folder, const EmailHeader& header,
                        std::string_view text);
    // Records a retrieved email in New Emails, as setEmailHeader does. With no
    // slot free there, the Trash Bin is first brought to 600 and New Emails
    // trimmed into it, as the refresh after a session does: sessions of
    // several accounts at once can bring more than the folder's 100 spare
    // slots hold before any of their refreshes comes.
    bool addNewEmail(int index, const EmailHeader& header, std::string_view text);
    // False when the folder holds no email with that number; true when its slot
    // was freed. Throws CError when the file cannot be written.
    bool deleteEmailHeader(int index, std::string_view folder);
    // The text of the email at `position` (0 = the lowest number) and the
    // position moved on by one. False, with `position` unchanged, past the last
    // email. Throws CError when the file cannot be read.
    bool getNextEmailText(int& position, std::string_view folder, std::string& text);

    // Moves each listed email: a number the source does not hold is passed
    // over, a damaged record is deleted from the source instead of moved.
    // Returns true. Throws CError when the counter cannot be read (nothing is
    // moved) or a store step fails, the destination being full among them:
    // the emails moved before stay moved, the failing one stays in the source.
    bool moveEmails(std::string_view from, std::string_view to, std::span<const int> indexes);
    // Adds a second copy of an email to the same folder under a new number, its
    // delete time set to now (both handed back). Returns true; `newIndex` is -1
    // when the folder holds no email `index`. Throws CError as getNextEmailIndex
    // and setEmailHeader do.
    bool copyEmail(std::string_view folder, int index, int& newIndex, int& delTime);
    // Deletes the listed emails from the Trash Bin for good; numbers it does
    // not hold are passed over. Returns true; throws CError on a failed write.
    bool deleteTrashEmails(std::span<const int> indexes);
    // Moves the lowest-numbered (oldest) emails of a folder holding more than
    // 600 to the Trash Bin until 600 are left. False when there were 600 or
    // fewer; true otherwise. Throws CError when a step fails (the Trash Bin
    // full among them): what was moved stays moved.
    bool trimFolderToTrash(std::string_view folder);
    // Deletes the lowest-numbered emails of a Trash Bin holding more than 600
    // until 600 are left. False when there were 600 or fewer; true otherwise.
    // Throws CError on a failed write.
    bool trimTrash();

    // Frees every damaged record of the folder: a number below zero or not
    // below the counter, a text length outside 1..5,020. Returns how many.
    // Throws CError when the file cannot be read or written.
    int cleanEmailHeaders(std::string_view folder);
    // Cleans all six folders and shows one warning when anything was deleted.
    // Throws CError as cleanEmailHeaders.
    void cleanAllFolders();
    // Cleans the folder and hands a row for each valid email to the sink, in
    // number order; then refreshes the folder counts and warns when anything
    // was deleted. Returns true; throws CError as cleanEmailHeaders.
    bool loadEmailHeaders(std::string_view folder, const HeaderRowSink& sink);
    // The rows of the valid emails, without cleaning anything: for readers that
    // must not change the store. Throws CError when the file cannot be read.
    void readEmailHeaders(std::string_view folder, const HeaderRowSink& sink);
    // Index numbers of a folder, ascending.
    std::vector<int> emailIndexes(std::string_view folder);

    // Copies the store file while no operation can change it. False when the
    // copy could not be made whole.
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
