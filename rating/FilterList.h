#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CriticalSection.h"

// The files of the two process-wide phrase lists, in the working directory.
inline constexpr std::string_view kWhiteListFile = "wlist.bin";
inline constexpr std::string_view kBlackListFile = "blist.bin";

// One phrase of a list: the header it is searched in and whether case counts.
struct FilterListEntry {
    static constexpr std::uint8_t kFrom = 0;
    static constexpr std::uint8_t kSubject = 1;
    static constexpr std::uint8_t kTo = 2;
    static constexpr std::uint8_t kInsensitive = 0;
    static constexpr std::uint8_t kSensitive = 1;

    std::string phrase;
    std::uint8_t field = kFrom;
    std::uint8_t caseSensitive = kInsensitive;

    bool operator==(const FilterListEntry&) const = default;
};

// One row of a list as the dialogs show it: the phrase, the field's name
// ("From", "Subject", "To") and the case flag's name ("Insensitive", "Sensitive").
struct ListRow {
    std::string phrase;
    std::string field;
    std::string caseText;

    bool operator==(const ListRow&) const = default;
};
using ListRows = std::vector<ListRow>;

// The entries that a list file holds: the count, then the records in order.
// Stops at the first record that is cut short by the end of the bytes, has a
// field or case byte out of range or a length above
// FilterList::kMaxRecordLength, and returns the whole records before it; bytes
// too short for the count give no entries. Allocates no more than the bytes
// could hold, whatever the count and lengths claim, and no phrase takes more
// room than its text up to the first NUL.
std::vector<FilterListEntry> decodeFilterList(std::string_view bytes);

// A phrase list: a message whose chosen header contains one of the phrases is
// a hit. The proxy thread matches against a list while the window thread may
// reload or rebuild it, so every operation holds the list's own lock and a
// message is never matched against a half-rebuilt list.
class FilterList {
  public:
    explicit FilterList(std::string_view fileName);
    FilterList(const FilterList&) = delete;
    FilterList& operator=(const FilterList&) = delete;

    // Replaces the entries with those of the file. False, and the entries
    // unchanged, when the file cannot be opened or is empty. A damaged file
    // counts as read: the entries become its whole records before the damage.
    bool load();
    // Writes the entries to the file, first cutting every phrase longer than
    // kMaxSavedPhrase to kCutPhrase characters (in memory too). The bytes go to
    // a temporary file that is renamed over the old one, so a failed save
    // leaves the previous list intact. False when the file cannot be written.
    bool save();

    // True when an entry's phrase occurs in its header; insensitive entries
    // ignore the case of the ASCII letters only.
    bool matches(std::string_view from, std::string_view to, std::string_view subject) const;

    // Loads the file and, when that succeeded, appends one row per entry.
    void showInList(ListRows& rows);
    // Rebuilds the entries from the rows and saves them; returns what save() did.
    // A field other than "From" or "Subject" means To; a case text other than
    // "Insensitive" means case-sensitive.
    bool replaceFromList(const ListRows& rows);

    std::vector<FilterListEntry> entries() const;
    const std::string& fileName() const { return m_fileName; }

    static constexpr std::size_t kMaxSavedPhrase = 85;
    static constexpr std::size_t kCutPhrase = 84;
    // The longest record length (phrase and NUL) a file may give. The dialogs
    // take phrases of at most 80 characters and save() cuts longer ones, so
    // the program's own files stay far below it; a larger length is damage.
    static constexpr std::size_t kMaxRecordLength = 4096;

  private:
    const std::string m_fileName;
    mutable platform::CriticalSection m_lock;
    std::vector<FilterListEntry> m_entries;  // guarded by m_lock
};
