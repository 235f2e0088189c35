// The phrase lists: matching, the list file's layout, damaged files, and the
// rows the list dialogs exchange with a list.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "rating/AddressSpaceCap.h"
#include "rating/FilterList.h"
#include "support/TempDirectory.h"

namespace {

const std::string kFile(kBlackListFile);

std::string int32Bytes(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return bytes;
}

// One record as the file holds it, with the length written as given.
std::string record(std::uint8_t field, std::uint8_t caseSensitive, std::uint32_t length,
                   const std::string& bytes) {
    return std::string(1, static_cast<char>(field)) + static_cast<char>(caseSensitive) +
           int32Bytes(length) + bytes;
}

// A well-formed record: the phrase with its NUL, the length to match.
std::string record(std::uint8_t field, std::uint8_t caseSensitive, const std::string& phrase) {
    return record(field, caseSensitive, static_cast<std::uint32_t>(phrase.size() + 1),
                  phrase + '\0');
}

class FilterListTest : public ::testing::Test {
  protected:
    // A list holding exactly the given rows (saved, as the dialogs do).
    FilterList& listOf(const ListRows& rows) {
        EXPECT_TRUE(m_list.replaceFromList(rows));
        return m_list;
    }

    TempDirectory m_directory;
    FilterList m_list{kFile};
};

// --- matching ---

TEST_F(FilterListTest, InsensitiveEntriesIgnoreAsciiCaseSensitiveOnesDoNot) {
    FilterList& insensitive = listOf({{"free", "Subject", "Insensitive"}});
    EXPECT_TRUE(insensitive.matches("", "", "FREE offer"));
    EXPECT_TRUE(insensitive.matches("", "", "Freedom"));
    EXPECT_FALSE(insensitive.matches("", "", "fee"));

    FilterList& sensitive = listOf({{"free", "Subject", "Sensitive"}});
    EXPECT_FALSE(sensitive.matches("", "", "FREE offer"));
    EXPECT_FALSE(sensitive.matches("", "", "Freedom"));
    EXPECT_TRUE(sensitive.matches("", "", "carefree"));

    FilterList& upperPhrase = listOf({{"OFFER", "Subject", "Insensitive"}});
    EXPECT_TRUE(upperPhrase.matches("", "", "special offer inside"));
}

TEST_F(FilterListTest, MatchesAnySubstringWithoutWordBoundaries) {
    FilterList& list = listOf({{"sex", "Subject", "Insensitive"}});
    EXPECT_TRUE(list.matches("", "", "Visit Essex"));
    EXPECT_TRUE(list.matches("", "", "sex"));
    EXPECT_FALSE(list.matches("", "", "se x"));
}

TEST_F(FilterListTest, EachEntrySearchesOnlyItsOwnField) {
    FilterList& list = listOf({{"alice", "From", "Insensitive"},
                               {"bob", "To", "Insensitive"},
                               {"carol", "Subject", "Insensitive"}});
    EXPECT_TRUE(list.matches("Alice <a@example.org>", "", ""));
    EXPECT_TRUE(list.matches("", "bob@example.org", ""));
    EXPECT_TRUE(list.matches("", "", "for Carol"));
    // Each phrase placed in the two fields it does not name.
    EXPECT_FALSE(list.matches("bob carol", "alice carol", "alice bob"));
}

TEST_F(FilterListTest, AccentedLettersCompareExactlyEvenWhenInsensitive) {
    // UTF-8 é (C3 A9) and É (C3 89); Latin-1 é (E9) and É (C9).
    FilterList& list =
        listOf({{"caf\xC3\xA9", "Subject", "Insensitive"}, {"\xE9t\xE9", "From", "Insensitive"}});
    EXPECT_TRUE(list.matches("", "", "CAF\xC3\xA9 au lait"));
    EXPECT_FALSE(list.matches("", "", "CAF\xC3\x89 AU LAIT"));
    EXPECT_TRUE(list.matches("\xE9T\xE9", "", ""));
    EXPECT_FALSE(list.matches("\xC9T\xC9", "", ""));
}

TEST_F(FilterListTest, EmptyPhraseHitsEveryMessageAndEmptyListNone) {
    EXPECT_FALSE(listOf({}).matches("a", "b", "c"));
    EXPECT_TRUE(listOf({{"", "To", "Sensitive"}}).matches("", "", ""));
    EXPECT_TRUE(listOf({{"", "From", "Insensitive"}}).matches("x", "y", "z"));
}

TEST_F(FilterListTest, LaterEntriesAreReachedWhenEarlierOnesMiss) {
    FilterList& list = listOf({{"nothing", "From", "Sensitive"},
                               {"zzz", "Subject", "Insensitive"},
                               {"win", "Subject", "Sensitive"}});
    EXPECT_TRUE(list.matches("from", "to", "you win"));
    EXPECT_FALSE(list.matches("from", "to", "you WIN"));
}

// --- loading ---

TEST_F(FilterListTest, CountOfZeroOrLessGivesAnEmptyList) {
    for (const std::int32_t count : {0, -1, -2147483647 - 1}) {
        listOf({{"kept", "From", "Sensitive"}});
        writeWholeFile(kFile,
                       int32Bytes(static_cast<std::uint32_t>(count)) + record(0, 0, "ignored"));
        EXPECT_TRUE(m_list.load()) << count;
        EXPECT_TRUE(m_list.entries().empty()) << count;
    }
}

TEST_F(FilterListTest, MissingOrEmptyFileLeavesTheListAsItWas) {
    EXPECT_FALSE(m_list.load());
    EXPECT_TRUE(m_list.entries().empty());
    writeWholeFile(kFile, "");
    EXPECT_FALSE(m_list.load());
    EXPECT_TRUE(m_list.entries().empty());

    listOf({{"kept", "Subject", "Insensitive"}});
    const std::vector<FilterListEntry> before = m_list.entries();
    writeWholeFile(kFile, "");
    EXPECT_FALSE(m_list.load());
    EXPECT_EQ(m_list.entries(), before);
    ASSERT_TRUE(platform::deleteFile(kFile));
    EXPECT_FALSE(m_list.load());
    EXPECT_EQ(m_list.entries(), before);
    EXPECT_TRUE(m_list.matches("", "", "KEPT"));
}

TEST_F(FilterListTest, LoadReplacesEntriesAndKeepsTextUpToTheFirstNul) {
    listOf({{"old", "From", "Sensitive"}});
    writeWholeFile(kFile, int32Bytes(3) + record(2, 1, "To phrase") +
                              record(1, 0, 8, std::string("abc\0def\0", 8)) +
                              record(0, 0, 3, "xyz"));
    ASSERT_TRUE(m_list.load());
    const std::vector<FilterListEntry> expected = {
        {"To phrase", 2, 1}, {"abc", 1, 0}, {"xyz", 0, 0}};
    EXPECT_EQ(m_list.entries(), expected);
}

// Damaged files: each starts with one good record, then the fault. Loading
// must keep exactly the good record, never crash, never size a buffer by a
// length the file cannot hold.
TEST_F(FilterListTest, DamagedFilesKeepTheWholeRecordsBeforeTheFault) {
    const std::string good = record(1, 0, "viagra");
    struct Case {
        const char* name;
        std::string bytes;
        bool keepsGood;
    };
    const Case cases[] = {
        {"length past the end", int32Bytes(2) + good + record(0, 0, 50, "short\0"), true},
        {"huge count in a 10-byte file", int32Bytes(0x7fffffff) + record(1, 0, 5, ""), false},
        {"huge count after a record", int32Bytes(0x7fffffff) + good, true},
        {"field 3", int32Bytes(3) + good + record(3, 0, "x") + record(0, 0, "y"), true},
        {"field 255", int32Bytes(2) + good + record(255, 0, "x"), true},
        {"case 2", int32Bytes(3) + good + record(0, 2, "x") + record(0, 0, "y"), true},
        {"length 0xFFFFFFFF", int32Bytes(2) + good + record(0, 0, 0xFFFFFFFFu, "abc"), true},
        {"length above the cap with the bytes there",
         int32Bytes(3) + good + record(0, 0, 4097, std::string(4097, 'a')) + record(0, 0, "y"),
         true},
        {"cut inside a record head", int32Bytes(2) + good + std::string(3, '\0'), true},
        {"fewer records than counted", int32Bytes(5) + good, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<FilterListEntry> expected =
            c.keepsGood ? std::vector<FilterListEntry>{{"viagra", 1, 0}}
                        : std::vector<FilterListEntry>{};

        listOf({{"previous", "From", "Sensitive"}});
        writeWholeFile(kFile, c.bytes);
        EXPECT_TRUE(m_list.load());
        EXPECT_EQ(m_list.entries(), expected);
        EXPECT_EQ(decodeFilterList(c.bytes), expected);
    }
}

// A sparse file is as long as it claims while holding a few blocks, so a
// length checked only against the file's size would still be allocated.
TEST_F(FilterListTest, LengthAboveTheCapIsDamageInASparseFileToo) {
    const std::string good = record(1, 0, "viagra");
    const std::vector<FilterListEntry> expected = {{"viagra", 1, 0}};

    listOf({{"previous", "From", "Sensitive"}});
    writeWholeFile(kFile, int32Bytes(2) + good + record(0, 0, 0xFFFFFFFFu, "abc"));
    std::filesystem::resize_file(kFile, (std::uint64_t{1} << 32) + 64);
    {
        AddressSpaceCap cap(std::uint64_t{64} << 20);
        EXPECT_TRUE(m_list.load());
    }
    EXPECT_EQ(m_list.entries(), expected);

    // Three records of 128 MB each, each a phrase "x" and then a hole.
    constexpr std::uint32_t kHuge = 128u << 20;
    const std::string huge = record(0, 0, kHuge, std::string("x", 2));
    const std::uint64_t start = 4 + good.size();
    const std::uint64_t stride = 6 + std::uint64_t{kHuge};
    listOf({{"previous", "From", "Sensitive"}});
    writeWholeFile(kFile, int32Bytes(4) + good);
    std::filesystem::resize_file(kFile, start + 3 * stride);
    {
        std::fstream file(kFile, std::ios::in | std::ios::out | std::ios::binary);
        for (std::uint64_t i = 0; i < 3; ++i) {
            file.seekp(static_cast<std::streamoff>(start + i * stride));
            file.write(huge.data(), static_cast<std::streamsize>(huge.size()));
        }
        ASSERT_TRUE(file.good());
    }
    {
        AddressSpaceCap cap(std::uint64_t{64} << 20);
        EXPECT_TRUE(m_list.load());
    }
    EXPECT_EQ(m_list.entries(), expected);
}

TEST_F(FilterListTest, PhrasesAtTheCapLoadAndTakeOnlyTheRoomOfTheirText) {
    ASSERT_EQ(FilterList::kMaxRecordLength, 4096u);
    const std::string atCap = std::string(4095, 'p') + '\0';
    const std::string shortText = std::string("pill\0", 5) + std::string(4091, 'q');
    std::string bytes = int32Bytes(1001) + record(2, 1, 4096, atCap);
    for (int i = 0; i < 1000; ++i) {
        bytes += record(0, 0, 4096, shortText);
    }
    const std::vector<FilterListEntry> entries = decodeFilterList(bytes);
    ASSERT_EQ(entries.size(), 1001u);
    EXPECT_EQ(entries[0], (FilterListEntry{std::string(4095, 'p'), 2, 1}));
    for (std::size_t i = 1; i < entries.size(); ++i) {
        ASSERT_EQ(entries[i].phrase, "pill");
        // Not the 4 KB of the record it came from, a thousand times over.
        ASSERT_LT(entries[i].phrase.capacity(), 64u) << i;
    }

    writeWholeFile(kFile, bytes);
    ASSERT_TRUE(m_list.load());
    EXPECT_EQ(m_list.entries(), entries);
}

TEST_F(FilterListTest, FileTooShortForItsCountGivesAnEmptyList) {
    listOf({{"previous", "From", "Sensitive"}});
    writeWholeFile(kFile, std::string("\x01\x00", 2));
    EXPECT_TRUE(m_list.load());
    EXPECT_TRUE(m_list.entries().empty());
}

// --- saving ---

TEST_F(FilterListTest, SavedFileHasTheDocumentedLayout) {
    listOf({{"Cheap", "Subject", "Sensitive"}, {"", "To", "Insensitive"}});
    const std::string expected = std::string("\x02\x00\x00\x00", 4) +
                                 std::string(
                                     "\x01\x01\x06\x00\x00\x00"
                                     "Cheap\0",
                                     12) +
                                 std::string("\x02\x00\x01\x00\x00\x00\0", 7);
    EXPECT_EQ(readWholeFile(kFile), expected);

    listOf({});
    EXPECT_EQ(readWholeFile(kFile), std::string(4, '\0'));
}

TEST_F(FilterListTest, SaveAndLoadRoundTrip) {
    listOf({{"one", "From", "Insensitive"},
            {"two words", "Subject", "Sensitive"},
            {"\xE9\xFF three", "To", "Insensitive"}});
    FilterList other(kFile);
    ASSERT_TRUE(other.load());
    EXPECT_EQ(other.entries(), m_list.entries());
    EXPECT_EQ(other.entries().size(), 3u);
}

TEST_F(FilterListTest, PhraseOf85IsKeptWholeLongerOnesAreCutTo84) {
    const std::string p85(85, 'a');
    const std::string p86 = std::string(84, 'b') + "cd";
    const std::string p200(200, 'e');
    listOf({{p85, "From", "Sensitive"}, {p86, "From", "Sensitive"}, {p200, "To", "Sensitive"}});

    const std::vector<FilterListEntry> expected = {
        {p85, 0, 1}, {std::string(84, 'b'), 0, 1}, {std::string(84, 'e'), 2, 1}};
    EXPECT_EQ(m_list.entries(), expected);
    FilterList reread(kFile);
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.entries(), expected);
    EXPECT_EQ(platform::fileSize(kFile), 4 + (6 + 86) + 2 * (6 + 85));
    // Only the cut phrase is a substring of its first 84 characters.
    EXPECT_TRUE(m_list.matches(std::string(84, 'b'), "", ""));
}

TEST_F(FilterListTest, FailedSaveKeepsTheOldFileAndEntries) {
    listOf({{"original", "From", "Sensitive"}});
    const std::string before = readWholeFile(kFile);
    // The temporary file cannot be made where a directory takes its name.
    ASSERT_EQ(::mkdir((kFile + ".part").c_str(), 0755), 0);

    const std::string longPhrase(90, 'x');
    EXPECT_FALSE(m_list.replaceFromList({{longPhrase, "From", "Sensitive"}}));
    EXPECT_EQ(readWholeFile(kFile), before);
    EXPECT_EQ(m_list.entries().at(0).phrase, longPhrase);
}

TEST_F(FilterListTest, SaveLeavesNoTemporaryFileBehind) {
    listOf({{"a", "From", "Sensitive"}});
    EXPECT_FALSE(platform::fileExists(kFile + ".part"));
}

TEST_F(FilterListTest, ListsWithDifferentFilesAreIndependent) {
    FilterList white(kWhiteListFile);
    FilterList black(kBlackListFile);
    ASSERT_TRUE(white.replaceFromList({{"friend", "From", "Insensitive"}}));
    ASSERT_TRUE(black.replaceFromList({{"spam", "Subject", "Insensitive"}}));
    EXPECT_EQ(readWholeFile("wlist.bin").substr(10, 6), std::string("friend"));
    EXPECT_EQ(readWholeFile("blist.bin").substr(10, 4), std::string("spam"));
    EXPECT_TRUE(white.matches("Friend", "", "spam"));
    EXPECT_FALSE(black.matches("Friend", "", "nothing"));
}

// --- the dialogs' rows ---

TEST_F(FilterListTest, ShowInListAppendsRowsWithDisplayNames) {
    writeWholeFile(kFile, int32Bytes(3) + record(0, 0, "a@example.org") + record(1, 1, "Win") +
                              record(2, 0, "me"));
    ListRows rows = {{"already", "there", "row"}};
    m_list.showInList(rows);
    const ListRows expected = {{"already", "there", "row"},
                               {"a@example.org", "From", "Insensitive"},
                               {"Win", "Subject", "Sensitive"},
                               {"me", "To", "Insensitive"}};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(m_list.entries().size(), 3u);
}

TEST_F(FilterListTest, ShowInListAddsNothingWhenTheFileCannotBeLoaded) {
    ASSERT_TRUE(m_list.replaceFromList({{"in memory", "From", "Sensitive"}}));
    ASSERT_TRUE(platform::deleteFile(kFile));
    ListRows rows;
    m_list.showInList(rows);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(m_list.entries().size(), 1u);
}

TEST_F(FilterListTest, ReplaceFromListMapsDisplayNamesAndSaves) {
    listOf({{"old", "From", "Sensitive"}});
    ASSERT_TRUE(m_list.replaceFromList({{"p1", "From", "Insensitive"},
                                        {"p2", "Subject", "Sensitive"},
                                        {"p3", "To", "anything"},
                                        {"p4", "from", "insensitive"},
                                        {"p5", "", ""}}));
    const std::vector<FilterListEntry> expected = {
        {"p1", 0, 0}, {"p2", 1, 1}, {"p3", 2, 1}, {"p4", 2, 1}, {"p5", 2, 1}};
    EXPECT_EQ(m_list.entries(), expected);
    FilterList reread(kFile);
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.entries(), expected);
}

// A rebuild must never be seen half done: every complete version of the list
// holds "needle", though at opposite ends, so a match that misses it has seen
// a list being rebuilt.
TEST_F(FilterListTest, MatchingNeverSeesAHalfRebuiltList) {
    ListRows needleLast;
    for (int i = 0; i < 30; ++i) {
        needleLast.push_back({"filler" + std::to_string(i), "From", "Sensitive"});
    }
    ListRows needleFirst = needleLast;
    needleLast.push_back({"needle", "Subject", "Sensitive"});
    needleFirst.insert(needleFirst.begin(), {"needle", "Subject", "Sensitive"});
    listOf(needleLast);

    std::atomic<bool> stop{false};
    std::atomic<int> misses{0};
    std::thread matcher([&] {
        while (!stop.load()) {
            if (!m_list.matches("someone", "me", "a needle here")) {
                ++misses;
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        m_list.replaceFromList(i % 2 == 0 ? needleFirst : needleLast);
        ListRows rows;
        m_list.showInList(rows);
    }
    stop = true;
    matcher.join();
    EXPECT_EQ(misses.load(), 0);
}

}  // namespace
