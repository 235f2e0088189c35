// Folder keys as the command line and the stored keys spell them.
#include <gtest/gtest.h>

#include "store/Folder.h"

TEST(FolderTest, KeysAreFoundExactlyAndListedInBlockOrder) {
    for (const Folder folder : kAllFolders) {
        EXPECT_EQ(folderFromKey(folderKey(folder)), folder);
    }
    EXPECT_EQ(folderFromKey("GOODA"), std::nullopt);
    EXPECT_EQ(folderFromKey(""), std::nullopt);
    // Part of glimmerfen-cli's "unknown folder" message.
    EXPECT_EQ(folderKeyList(), "newA, goodA, badA, goodB, badB, trashA");
}
