#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/MonthNames.h"
#include "support/TempDirectory.h"

TEST(FilesTest, CopyReplacesAndLeavesNoPartialFile) {
    TempDirectory directory;
    writeWholeFile("a", std::string(3 << 20, 'a'));
    writeWholeFile("b", "old");
    EXPECT_TRUE(platform::copyFile("a", "b"));
    EXPECT_EQ(readWholeFile("b"), readWholeFile("a"));
    EXPECT_FALSE(platform::fileExists("b.part"));

    EXPECT_FALSE(platform::copyFile("missing", "c"));
    EXPECT_FALSE(platform::fileExists("c"));
    EXPECT_FALSE(platform::copyFile("a", "no-such-dir/c"));
}

TEST(FilesTest, SizeExistsRenameDelete) {
    TempDirectory directory;
    EXPECT_EQ(platform::fileSize("x"), -1);
    writeWholeFile("x", "12345");
    EXPECT_EQ(platform::fileSize("x"), 5);
    EXPECT_TRUE(platform::renameFile("x", "y"));
    EXPECT_FALSE(platform::fileExists("x"));
    EXPECT_TRUE(platform::deleteFile("y"));
    EXPECT_FALSE(platform::fileExists("y"));
    EXPECT_FALSE(platform::fileExists("."));
    EXPECT_TRUE(platform::directoryExists("."));
}

TEST(ClockTest, FixedTimeIsUsedAndReleased) {
    platform::setFixedTime(86400 * 365);
    EXPECT_EQ(platform::secondsSince1970(), 86400 * 365);
    platform::setFixedTime(std::nullopt);
    EXPECT_GT(platform::secondsSince1970(), 1700000000);
}

TEST(MonthNamesTest, NamesAndNumbers) {
    EXPECT_EQ(platform::monthName(1), "Jan");
    EXPECT_EQ(platform::monthName(12), "Dec");
    EXPECT_EQ(platform::monthName(0), "Jan");
    EXPECT_EQ(platform::monthName(13), "Jan");
    EXPECT_EQ(platform::monthNumberText("sEP"), "9");
    EXPECT_EQ(platform::monthNumberText("Sept"), "1");
    EXPECT_EQ(platform::monthNumberText(""), "1");
}

namespace {

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace

TEST(OwnFileTest, FifoIsRefusedByNameWithoutWaitingForAWriter) {
    TempDirectory directory;
    ASSERT_EQ(::mkfifo("sFlag.bin", 0600), 0);
    const platform::SmallFile read = platform::readSmallFile("sFlag.bin", 64);
    EXPECT_EQ(read.status, platform::OwnFile::Status::NotRegular);
    EXPECT_EQ(read.problem, "sFlag.bin is a FIFO, not a regular file");
    // Opening for writing would wait for a reader as long as for a writer.
    EXPECT_EQ(platform::OwnFile::openForAppend("sFlag.bin").status(),
              platform::OwnFile::Status::NotRegular);
    EXPECT_EQ(platform::readSmallFile("missing", 64).status, platform::OwnFile::Status::Missing);
}

// Links at the program's own names are refused at start-up as well; these
// openings are what still protects a link planted while it runs.
TEST(OwnFileTest, NoOpeningGoesThroughALink) {
    TempDirectory directory;
    writeWholeFile("target", "precious");
    ASSERT_EQ(::symlink("target", "log.txt"), 0);
    EXPECT_FALSE(platform::truncateFile("log.txt"));
    EXPECT_FALSE(platform::OwnFile::openForAppend("log.txt").isOpen());
    EXPECT_FALSE(platform::OwnFile::openForUpdate("log.txt").isOpen());
    EXPECT_FALSE(platform::copyFile("log.txt", "copy.bin"));
    EXPECT_EQ(readWholeFile("target"), "precious");
}

TEST(OwnFileTest, FileOthersMayReadIsNarrowedWhenUsed) {
    TempDirectory directory;
    writeWholeFile("old.txt", "x");
    ASSERT_EQ(::chmod("old.txt", 0644), 0);
    EXPECT_TRUE(platform::OwnFile::openForAppend("old.txt").isOpen());
    EXPECT_EQ(modeOf("old.txt"), 0600u);
}
