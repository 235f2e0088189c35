// Moves, copies, trims and cleaning across the folders.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <csignal>
#include <thread>

#include "diag/Error.h"
#include "store/HeaderRowFormat.h"
#include "store/StoreLayout.h"
#include "support/StoreFixture.h"

using namespace store_layout;

namespace {
const std::string kStore = "HGIndex.hgd";
}

using FolderOperationsTest = StoreFixture;

TEST_F(FolderOperationsTest, MoveSkipsNumbersTheSourceDoesNotHold) {
    raiseCounterTo(10);
    addEmail("newA", 7);
    addEmail("goodA", 3);
    const int moved[] = {7, 9};
    ASSERT_TRUE(db().moveEmails("newA", "goodA", moved));
    EXPECT_EQ(db().emailIndexes("goodA"), (std::vector<int>{3, 7}));
    EXPECT_TRUE(db().emailIndexes("newA").empty());
}

TEST_F(FolderOperationsTest, MoveDropsCorruptedRecordsInsteadOfMovingThem) {
    raiseCounterTo(10);
    addEmail("newA", 1, 0);   // empty text
    addEmail("newA", 2, -4);  // damaged length
    addEmail("newA", 12);     // number the counter never gave
    addEmail("newA", 3, 5010);
    const int moved[] = {1, 2, 12, 3};
    ASSERT_TRUE(db().moveEmails("newA", "badA", moved));
    EXPECT_TRUE(db().emailIndexes("newA").empty());
    EXPECT_EQ(db().emailIndexes("badA"), (std::vector<int>{3}));

    // Moves rewrite from a full read, so a long text arrives cut to 4,999 bytes.
    EmailHeader header;
    std::string text;
    ASSERT_TRUE(db().getEmailHeader(3, "badA", header, text));
    EXPECT_EQ(header.textLength, 4999);
    EXPECT_EQ(fileInt32At(kStore, recordOffset(2, 0) + 290), 4999);
    EXPECT_EQ(text, messageText(4999));
}

TEST_F(FolderOperationsTest, MoveIntoAFullFolderKeepsTheEmailInItsSource) {
    raiseCounterTo(800);
    for (int i = 0; i < kSlotsPerFolder; ++i) {
        addEmail("goodA", i, 8);
    }
    addEmail("newA", 750);
    const int moved[] = {750};
    EXPECT_THROW(db().moveEmails("newA", "goodA", moved), CError);
    EXPECT_EQ(db().emailIndexes("newA"), (std::vector<int>{750}));
}

TEST_F(FolderOperationsTest, CopyTakesANewNumberAndTime) {
    raiseCounterTo(20);
    addEmail("goodA", 4, 100);
    int newIndex = 0;
    int delTime = 0;
    ASSERT_TRUE(db().copyEmail("goodA", 4, newIndex, delTime));
    EXPECT_EQ(newIndex, 20);
    EXPECT_EQ(db().readCounter(), 21);
    EXPECT_EQ(db().emailIndexes("goodA"), (std::vector<int>{4, 20}));

    EmailHeader original;
    EmailHeader copy;
    std::string originalText;
    std::string copyText;
    db().getEmailHeader(4, "goodA", original, originalText);
    db().getEmailHeader(20, "goodA", copy, copyText);
    EXPECT_EQ(copyText, originalText);
    EXPECT_EQ(copy.delTime, delTime);
    copy.delTime = original.delTime;
    EXPECT_EQ(copy, original);
}

TEST_F(FolderOperationsTest, TrimsKeepTheNewestSixHundred) {
    raiseCounterTo(700);
    for (int i = 0; i < 615; ++i) {
        addEmail("newA", 614 - i, 8);  // slots in reverse of index order
    }
    EXPECT_TRUE(db().trimFolderToTrash("newA"));
    const std::vector<int> kept = db().emailIndexes("newA");
    ASSERT_EQ(kept.size(), 600u);
    EXPECT_EQ(kept.front(), 15);
    std::vector<int> fifteen;
    for (int i = 0; i < 15; ++i) {
        fifteen.push_back(i);
    }
    EXPECT_EQ(db().emailIndexes("trashA"), fifteen);
    EXPECT_FALSE(db().trimFolderToTrash("newA"));
}

TEST_F(FolderOperationsTest, TrimTrashDeletesTheOldest) {
    raiseCounterTo(700);
    for (int i = 0; i < 650; ++i) {
        addEmail("trashA", i, 8);
    }
    EXPECT_TRUE(db().trimTrash());
    const std::vector<int> kept = db().emailIndexes("trashA");
    ASSERT_EQ(kept.size(), 600u);
    EXPECT_EQ(kept.front(), 50);
    EXPECT_FALSE(db().trimTrash());
}

TEST_F(FolderOperationsTest, DeleteTrashEmailsTouchesOnlyTheTrash) {
    raiseCounterTo(10);
    addEmail("trashA", 1);
    addEmail("trashA", 2);
    addEmail("newA", 3);
    const int doomed[] = {1, 3};
    ASSERT_TRUE(db().deleteTrashEmails(doomed));
    EXPECT_EQ(db().emailIndexes("trashA"), (std::vector<int>{2}));
    EXPECT_EQ(db().emailIndexes("newA"), (std::vector<int>{3}));
}

TEST_F(FolderOperationsTest, CleaningRemovesNumbersTheCounterNeverGave) {
    raiseCounterTo(6);
    addEmail("goodB", 3);
    addEmail("goodB", 5);
    addEmail("goodB", 8);
    EXPECT_EQ(db().cleanEmailHeaders("goodB"), 1);
    EXPECT_EQ(db().emailIndexes("goodB"), (std::vector<int>{3, 5}));
}

TEST_F(FolderOperationsTest, CleaningAllFoldersWarnsOnceWithTheRightWords) {
    raiseCounterTo(5);
    db().cleanAllFolders();
    EXPECT_TRUE(desktop().timedBoxes().empty());

    addEmail("badA", 9);
    db().cleanAllFolders();
    EXPECT_EQ(desktop().timedBoxes(),
              (std::vector<std::string>{"WARNING: Had to delete a corrupted email!"}));

    desktop().clear();
    addEmail("newA", 1, 0);
    addEmail("trashA", -3);
    db().cleanAllFolders();
    EXPECT_EQ(desktop().timedBoxes(),
              (std::vector<std::string>{"WARNING: Had to delete corrupted emails!"}));
}

TEST_F(FolderOperationsTest, DamagedSlotTablesAreCleanedWithoutCrashing) {
    raiseCounterTo(10);
    addEmail("goodA", 2);
    // The same number twice, a wild number, and a slot whose record is zeros.
    putFileInt32At(kStore, slotEntryOffset(1, 5), 2);
    putFileInt32At(kStore, slotEntryOffset(1, 6), -77);
    putFileInt32At(kStore, slotEntryOffset(1, 7), 4);
    reopen();
    EXPECT_EQ(db().emailCount("goodA"), 4);
    EXPECT_EQ(db().cleanEmailHeaders("goodA"), 3);
    EXPECT_EQ(db().emailIndexes("goodA"), (std::vector<int>{2}));
    EXPECT_EQ(fileInt32At(kStore, slotEntryOffset(1, 0)), 2);
    EXPECT_EQ(fileInt32At(kStore, slotEntryOffset(1, 5)), -1);
}

TEST_F(FolderOperationsTest, RowsCarryTheDisplayDate) {
    raiseCounterTo(10);
    addEmail("newA", 1);
    std::vector<HeaderRow> rows;
    db().loadEmailHeaders("newA", [&](const HeaderRow& row) { rows.push_back(row); });
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dateTime, "9 Mar 2006, 8:05");
    EXPECT_EQ(rows[0].from, "alice@example.org");
    EXPECT_EQ(rows[0].subject, "hello");
    EXPECT_EQ(rows[0].to, "bob@example.org");
    EXPECT_EQ(rows[0].index, "1");
    EXPECT_EQ(rows[0].delTime, "1141891500");
    EXPECT_EQ(desktop().calls(), (std::vector<std::string>{"refreshFolderCounts"}));

    EmailHeader header;
    header.day = 9;
    header.month = 3;
    header.year = 2006;
    header.hour = 8;
    header.minute = 30;
    EXPECT_EQ(displayDate(header), "9 Mar 2006, 8:30");
    header.month = 13;
    header.minute = 0;
    EXPECT_EQ(displayDate(header), "9 Jan 2006, 8:00");
}

TEST_F(FolderOperationsTest, LoadingCleansButReadingOnlySkips) {
    raiseCounterTo(10);
    addEmail("goodA", 1);
    addEmail("goodA", 2, 0);
    addEmail("goodA", 3);
    std::vector<std::string> read;
    db().readEmailHeaders("goodA", [&](const HeaderRow& row) { read.push_back(row.index); });
    EXPECT_EQ(read, (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(db().emailCount("goodA"), 3);

    std::vector<std::string> loaded;
    db().loadEmailHeaders("goodA", [&](const HeaderRow& row) { loaded.push_back(row.index); });
    EXPECT_EQ(loaded, read);
    EXPECT_EQ(db().emailCount("goodA"), 2);
    EXPECT_EQ(desktop().timedBoxes(),
              (std::vector<std::string>{"WARNING: Had to delete a corrupted email!"}));
}

TEST_F(FolderOperationsTest, TextWalkStopsAtTheEndAndKeepsThePosition) {
    raiseCounterTo(10);
    addEmail("badA", 1);
    addEmail("badA", 2);
    int position = 2;
    std::string text = "untouched";
    EXPECT_FALSE(db().getNextEmailText(position, "badA", text));
    EXPECT_EQ(position, 2);
    EXPECT_EQ(text, "untouched");
}

TEST_F(FolderOperationsTest, SettingsRoundTripAndCutLongNames) {
    Pop3Settings settings;
    settings.useDomainName = false;
    settings.serverName = std::string(90, 'n');
    settings.ip1 = 192;
    settings.ip2 = 0;
    settings.ip3 = 2;
    settings.ip4 = 255;
    settings.pop3Port = 995;
    settings.localPort = 4999;
    db().setPOP3Settings(settings);
    const Pop3Settings back = db().getPOP3Settings();
    settings.serverName.resize(79);
    EXPECT_EQ(back, settings);

    // Only the byte 1 means "by domain name".
    putFileInt32At(kStore, 5, 0x00000002 | ('n' << 8) | ('n' << 16) | ('n' << 24));
    EXPECT_FALSE(db().getPOP3Settings().useDomainName);

    db().setHarrowgleamState(0x85);
    EXPECT_EQ(db().getHarrowgleamState(), 0x85);

    const std::array<std::uint8_t, 4> server{10, 20, 30, 40};
    ASSERT_TRUE(db().setNameServerIP(server));
    std::array<std::uint8_t, 4> read{};
    ASSERT_TRUE(db().getNameServerIP(read));
    EXPECT_EQ(read, server);
    EXPECT_EQ(fileBytesAt(kStore, 94, 4), "\x0a\x14\x1e\x28");
}

// A write the disk refuses must be an error, and must leave memory equal to the file.
TEST_F(FolderOperationsTest, FailedWriteIsAnErrorAndLeavesTheFolderAsItWas) {
    raiseCounterTo(10);
    addEmail("badB", 1);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = static_cast<rlim_t>(recordOffset(4, 0));  // below folder 4's records
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

    bool raised = false;
    try {
        addEmail("badB", 2);
    } catch (const CError& error) {
        raised = true;
        EXPECT_NE(std::string(error.what()).find("Can't Write Database"), std::string::npos);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &previous), 0);
    EXPECT_TRUE(raised);
    EXPECT_EQ(db().emailIndexes("badB"), (std::vector<int>{1}));
    reopen();
    EXPECT_EQ(db().emailIndexes("badB"), (std::vector<int>{1}));
}

// The filter switch, the block-list panel and glimmerfen-cli each own bits of
// the state byte; switching them from several threads at once loses none.
TEST_F(FolderOperationsTest, StateBitsSwitchedAtOnceFromSeveralThreadsAreAllKept) {
    db().setHarrowgleamState(0x80);
    auto toggle = [this](unsigned char bit) {
        for (int i = 0; i < 200; ++i) {
            db().changeHarrowgleamState(0, bit);
            db().changeHarrowgleamState(bit, 0);
        }
    };
    std::thread filter(toggle, 1);
    std::thread spamhaus(toggle, 2);
    std::thread spamcop(toggle, 4);
    filter.join();
    spamhaus.join();
    spamcop.join();
    EXPECT_EQ(db().getHarrowgleamState(), 0x87);
    EXPECT_EQ(db().changeHarrowgleamState(0, 0x81), 0x06);
}
