#include <gtest/gtest.h>

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
