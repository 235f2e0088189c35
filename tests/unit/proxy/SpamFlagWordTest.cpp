// "sFlag.bin": the spam flag word, 2 to 20 characters, stored as a length and
// the word with its 0 byte.
#include <gtest/gtest.h>

#include <string>

#include "platform/Files.h"
#include "proxy/SpamFlagWord.h"
#include "support/TempDirectory.h"

using proxy::readSpamFlagWord;
using proxy::writeSpamFlagWord;

namespace {

std::string lengthBytes(std::uint32_t value) {
    return std::string{static_cast<char>(value & 0xff), static_cast<char>((value >> 8) & 0xff),
                       static_cast<char>((value >> 16) & 0xff),
                       static_cast<char>((value >> 24) & 0xff)};
}

class SpamFlagWordTest : public ::testing::Test {
  protected:
    TempDirectory m_directory;
};

TEST_F(SpamFlagWordTest, MissingFileGivesTheDefault) {
    EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*");
}

TEST_F(SpamFlagWordTest, TwentyCharactersRoundTripWithTheFileLayout) {
    const std::string word = "ABCDEFGHIJKLMNOPQRST";
    ASSERT_TRUE(writeSpamFlagWord(word));
    EXPECT_EQ(readSpamFlagWord(), word);
    EXPECT_EQ(readWholeFile("sFlag.bin"), lengthBytes(21) + word + std::string(1, '\0'));
    EXPECT_FALSE(platform::fileExists("sFlag.bin.tmp"));
}

TEST_F(SpamFlagWordTest, TwoCharactersAreTheShortestWord) {
    ASSERT_TRUE(writeSpamFlagWord("[S"));
    EXPECT_EQ(readSpamFlagWord(), "[S");
}

TEST_F(SpamFlagWordTest, OneOrTwentyOneCharactersAreNotSaved) {
    ASSERT_TRUE(writeSpamFlagWord("OLD-WORD"));
    EXPECT_FALSE(writeSpamFlagWord("X"));
    EXPECT_FALSE(writeSpamFlagWord(std::string(21, 'X')));
    EXPECT_FALSE(writeSpamFlagWord(""));
    EXPECT_EQ(readSpamFlagWord(), "OLD-WORD");
}

TEST_F(SpamFlagWordTest, LengthsOutsideTwoToTwentyOneGiveTheDefault) {
    for (const std::uint32_t stored : {0u, 1u, 22u, 1000u, 0x80000000u, 0xffffffffu}) {
        writeWholeFile("sFlag.bin", lengthBytes(stored) + std::string(40, 'W'));
        EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*") << stored;
    }
}

TEST_F(SpamFlagWordTest, LengthOfTwentyOneIsRead) {
    writeWholeFile("sFlag.bin", lengthBytes(21) + std::string(20, 'W') + std::string(1, '\0'));
    EXPECT_EQ(readSpamFlagWord(), std::string(20, 'W'));
}

TEST_F(SpamFlagWordTest, TextEndsAtTheFirstZeroByte) {
    writeWholeFile("sFlag.bin", lengthBytes(8) + std::string("AB\0CDEF\0", 8));
    EXPECT_EQ(readSpamFlagWord(), "AB");
}

// Found by fuzz_files: a length of 21 with no 0 byte gave a word of 21
// characters, one more than a flag word may have.
TEST_F(SpamFlagWordTest, WordWithoutItsZeroByteGivesTheDefault) {
    writeWholeFile("sFlag.bin", lengthBytes(21) + std::string(21, 'W'));
    EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*");
    writeWholeFile("sFlag.bin", lengthBytes(5) + "ABCDE");
    EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*");
    writeWholeFile("sFlag.bin", lengthBytes(5) + "ABCD" + std::string(1, '\0'));
    EXPECT_EQ(readSpamFlagWord(), "ABCD");
}

TEST_F(SpamFlagWordTest, ShortOrCutFilesGiveTheDefault) {
    writeWholeFile("sFlag.bin", "");
    EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*");
    writeWholeFile("sFlag.bin", std::string("\x05\x00", 2));
    EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*");
    writeWholeFile("sFlag.bin", lengthBytes(10) + "ABC");
    EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*");
    writeWholeFile("sFlag.bin", lengthBytes(5) + std::string("A\0\0\0\0", 5));
    EXPECT_EQ(readSpamFlagWord(), "*GLIMMERFENED!*");
}

}  // namespace
