// The two backup generations.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/Files.h"
#include "store/Backup.h"
#include "support/StoreFixture.h"

using BackupTest = StoreFixture;

TEST_F(BackupTest, GenerationsRotate) {
    ASSERT_EQ(::mkdir("backup", 0755), 0);
    ASSERT_TRUE(backupStore(db()));
    EXPECT_TRUE(backupExists(1));
    EXPECT_FALSE(backupExists(2));
    EXPECT_EQ(readWholeFile("backup/HGIndex1.hgd"), readWholeFile("HGIndex.hgd"));

    addEmail("newA", 0);
    const std::string first = readWholeFile("backup/HGIndex1.hgd");
    ASSERT_TRUE(backupStore(db()));
    const std::string second = readWholeFile("backup/HGIndex1.hgd");
    EXPECT_EQ(readWholeFile("backup/HGIndex2.hgd"), first);
    EXPECT_EQ(second, readWholeFile("HGIndex.hgd"));
    EXPECT_NE(second, first);

    addEmail("newA", 1);
    ASSERT_TRUE(backupStore(db()));
    EXPECT_EQ(readWholeFile("backup/HGIndex2.hgd"), second);
    EXPECT_EQ(readWholeFile("backup/HGIndex1.hgd"), readWholeFile("HGIndex.hgd"));
}

TEST_F(BackupTest, MissingDirectoryIsReportedAsFailure) {
    EXPECT_FALSE(backupStore(db()));
    EXPECT_FALSE(backupExists(1));
}
