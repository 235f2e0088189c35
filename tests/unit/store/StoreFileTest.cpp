// The byte layout of HGIndex.hgd and the slot bookkeeping behind the folders.
#include <gtest/gtest.h>

#include <limits>

#include "diag/Error.h"
#include "platform/Files.h"
#include "store/Folder.h"
#include "store/StoreLayout.h"
#include "support/StoreFixture.h"

using namespace store_layout;

namespace {
const std::string kStore = "HGIndex.hgd";
}

using StoreFileTest = StoreFixture;

TEST_F(StoreFileTest, NewStoreHasTheExactLayoutAndDefaults) {
    EXPECT_EQ(platform::fileSize(kStore), 26477694);
    EXPECT_EQ(fileInt32At(kStore, 0), 0);
    EXPECT_EQ(fileBytesAt(kStore, 4, 1), std::string(1, '\0'));
    for (int f = 0; f < kFolderCount; ++f) {
        EXPECT_EQ(fileBytesAt(kStore, folderOffset(f), kSlotTableSize),
                  std::string(kSlotTableSize, '\xFF'))
            << "folder " << f;
        EXPECT_EQ(db().emailCount(folderKey(kAllFolders[f])), 0);
    }
    // Settings record: domain-name flag, the name, 0.0.0.0, ports 110 and 1070.
    const std::string settings = fileBytesAt(kStore, 5, 89);
    EXPECT_EQ(settings[0], 1);
    EXPECT_EQ(settings.substr(1, 16), std::string("pop.example.com") + '\0');
    EXPECT_EQ(settings.substr(81, 4), std::string(4, '\0'));
    EXPECT_EQ(settings.substr(85, 4), std::string("\x6e\x00\x2e\x04", 4));
    EXPECT_EQ(fileBytesAt(kStore, 94, 5000), std::string(5000, '\0'));
    EXPECT_EQ(fileBytesAt(kStore, recordOffset(5, 699), kRecordSize),
              std::string(kRecordSize, '\0'));
}

TEST_F(StoreFileTest, CounterStartsAtZeroAndRisesByOne) {
    EXPECT_EQ(db().getNextEmailIndex(), 0);
    EXPECT_EQ(fileInt32At(kStore, 0), 1);
    EXPECT_EQ(db().getNextEmailIndex(), 1);
    EXPECT_EQ(db().readCounter(), 2);
}

TEST_F(StoreFileTest, CounterAtItsTopRefusesAndKeepsEveryStoredEmail) {
    constexpr std::int32_t kTop = std::numeric_limits<std::int32_t>::max();
    putFileInt32At(kStore, kCounterOffset, kTop - 1);
    const int last = db().getNextEmailIndex();
    EXPECT_EQ(last, kTop - 1);
    addEmail("goodA", last);
    try {
        db().getNextEmailIndex();
        FAIL() << "a number past the top was handed out";
    } catch (const CError& error) {
        EXPECT_NE(std::string(error.what()).find("Can't Open Database: the store has run out"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_EQ(db().readCounter(), kTop);
    db().cleanAllFolders();
    EXPECT_EQ(db().emailIndexes("goodA"), (std::vector<int>{last}));
}

TEST_F(StoreFileTest, RecordFieldsLandAtTheirOffsets) {
    EmailHeader header;
    header.from = std::string(100, 'f');
    header.to = "to@example.org";
    header.subject = std::string(130, 's');
    header.day = 9;
    header.month = 3;
    header.year = 2006;
    header.hour = 8;
    header.minute = 5;
    header.headerLength = 321;
    header.textLength = 5;
    header.delTime = 0x01020304;
    header.reserved = 7;
    ASSERT_TRUE(db().setEmailHeader(42, "goodA", header, "hello"));

    const std::int64_t record = recordOffset(1, 0);
    EXPECT_EQ(fileInt32At(kStore, slotEntryOffset(1, 0)), 42);
    EXPECT_EQ(fileBytesAt(kStore, record, 80), std::string(79, 'f') + '\0');
    EXPECT_EQ(fileBytesAt(kStore, record + 160, 120), std::string(119, 's') + '\0');
    EXPECT_EQ(fileBytesAt(kStore, record + 280, 6), std::string("\x09\x03\xd6\x07\x08\x05", 6));
    EXPECT_EQ(fileInt32At(kStore, record + 286), 321);
    EXPECT_EQ(fileInt32At(kStore, record + 290), 5);
    EXPECT_EQ(fileInt32At(kStore, record + 294), 0x01020304);
    EXPECT_EQ(fileBytesAt(kStore, record + 298, 6), "\x07hello");

    EmailHeader back;
    std::string text;
    ASSERT_TRUE(db().getEmailHeader(42, "goodA", back, text));
    EXPECT_EQ(back.from, std::string(79, 'f'));
    EXPECT_EQ(back.subject, std::string(119, 's'));
    EXPECT_EQ(back.year, 2006);
    EXPECT_EQ(back.reserved, 7);
    EXPECT_EQ(text, "hello");
}

TEST_F(StoreFileTest, LowestFreeSlotIsReused) {
    addEmail("newA", 0);
    addEmail("newA", 1);
    addEmail("newA", 2);
    ASSERT_TRUE(db().deleteEmailHeader(1, "newA"));
    EXPECT_EQ(fileInt32At(kStore, slotEntryOffset(0, 1)), -1);
    addEmail("newA", 3);
    EXPECT_EQ(fileInt32At(kStore, slotEntryOffset(0, 1)), 3);
    EXPECT_EQ(db().emailIndexes("newA"), (std::vector<int>{0, 2, 3}));
}

TEST_F(StoreFileTest, FullFolderRefusesAndChangesNothing) {
    for (int i = 0; i < kSlotsPerFolder; ++i) {
        addEmail("badB", i, 8);
    }
    const std::string before = readWholeFile(kStore);
    EXPECT_THROW(addEmail("badB", 700, 8), CError);
    EXPECT_EQ(readWholeFile(kStore), before);
    EXPECT_EQ(db().emailCount("badB"), kSlotsPerFolder);
    EXPECT_EQ(db().emailIndexes("badB").back(), 699);
}

TEST_F(StoreFileTest, VisitsEmailsInIndexOrderWhateverTheirSlots) {
    for (int index : {30, 10, 20, 5}) {
        addEmail("goodB", index, 3 + index);
    }
    std::vector<std::size_t> lengths;
    std::string text;
    for (int position = 0; db().getNextEmailText(position, "goodB", text);) {
        lengths.push_back(text.size());
    }
    EXPECT_EQ(lengths, (std::vector<std::size_t>{8, 13, 23, 33}));
}

TEST_F(StoreFileTest, ReadersClampTheTextLengthTheirOwnWay) {
    addEmail("goodA", 0, 5010);
    EmailHeader header;
    std::string text;
    ASSERT_TRUE(db().getEmailHeader(0, "goodA", header, text));
    EXPECT_EQ(header.textLength, 4999);
    EXPECT_EQ(text, messageText(4999));

    int position = 0;
    ASSERT_TRUE(db().getNextEmailText(position, "goodA", text));
    EXPECT_EQ(text, messageText(5010));

    // Damaged lengths are cut, never trusted: negative gives nothing, huge 5,020.
    putFileInt32At(kStore, recordOffset(1, 0) + 290, -5);
    ASSERT_TRUE(db().getEmailHeader(0, "goodA", header, text));
    EXPECT_EQ(text.size(), 0u);
    putFileInt32At(kStore, recordOffset(1, 0) + 290, 0x7fffffff);
    position = 0;
    ASSERT_TRUE(db().getNextEmailText(position, "goodA", text));
    EXPECT_EQ(text.size(), 5020u);
}

TEST_F(StoreFileTest, LookupBetweenStoredNumbersFindsNothing) {
    addEmail("newA", 4);
    addEmail("newA", 8);
    EmailHeader header;
    std::string text;
    EXPECT_FALSE(db().getEmailHeader(6, "newA", header, text));
    EXPECT_FALSE(db().deleteEmailHeader(6, "newA"));
    EXPECT_TRUE(db().getEmailHeader(8, "newA", header, text));
}

TEST_F(StoreFileTest, ReopenedStoreRebuildsItsFolders) {
    addEmail("trashA", 9);
    addEmail("trashA", 2);
    addEmail("badA", 5);
    reopen();
    EXPECT_EQ(db().emailIndexes("trashA"), (std::vector<int>{2, 9}));
    EXPECT_EQ(db().emailIndexes("badA"), (std::vector<int>{5}));
}

TEST_F(StoreFileTest, UnknownFolderKeySelectsNewEmails) {
    addEmail("nonsense", 3);
    EXPECT_EQ(db().emailIndexes("newA"), (std::vector<int>{3}));
}

TEST_F(StoreFileTest, TruncatedStoreIsReportedAndLeftAlone) {
    m_database.reset();
    ASSERT_EQ(::truncate(kStore.c_str(), 1000000), 0);
    try {
        CDatabase damaged(m_desktop);
        FAIL() << "a truncated store must not open";
    } catch (const CError& error) {
        EXPECT_NE(std::string(error.what()).find("Truncated"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("CDatabase::CDatabase"), std::string::npos);
    }
    EXPECT_EQ(platform::fileSize(kStore), 1000000);
}

TEST_F(StoreFileTest, StoreCutShortWhileOpenGivesErrorsNotCrashes) {
    addEmail("badB", 1);
    ASSERT_EQ(::truncate(kStore.c_str(), recordOffset(4, 0) + 100), 0);
    EmailHeader header;
    std::string text;
    EXPECT_THROW(db().getEmailHeader(1, "badB", header, text), CError);
    EXPECT_THROW(db().cleanEmailHeaders("badB"), CError);
    EXPECT_EQ(db().emailCount("badB"), 1);
}

TEST_F(StoreFileTest, MissingStoreFileGivesTheOpenErrors) {
    addEmail("newA", 0);
    ASSERT_TRUE(platform::deleteFile(kStore));
    EmailHeader header;
    std::string text;
    try {
        db().getEmailHeader(0, "newA", header, text);
        FAIL();
    } catch (const CError& error) {
        EXPECT_EQ(std::string(error.what())
                      .rfind("Error: Can't Open Database in "
                             "CDatabase::getEmailHeader\n line ",
                             0),
                  0u)
            << error.what();
        EXPECT_TRUE(std::string(error.what()).ends_with(" of file Database"));
    }
    EXPECT_THROW(db().getPOP3Settings(), CError);
    std::array<std::uint8_t, 4> address{};
    EXPECT_FALSE(db().getNameServerIP(address));
}
