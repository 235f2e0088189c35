#include "analysis/HeaderParser.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(EncodedWordDecode, BFormDecodesToItsBytesAlone) {
    EXPECT_EQ(decodeEncodedWord("=?utf-8?B?SGVsbG8h?="), "Hello!");
    EXPECT_EQ(decodeEncodedWord("=?ISO-8859-1?b?SGVsbG8h?="), "Hello!");
    EXPECT_EQ(decodeEncodedWord("Re: =?utf-8?B?SGVsbG8h?= and more"), "Hello!");
    EXPECT_EQ(decodeEncodedWord("=?utf-8?B?w6nDqQ==?="), "\xC3\xA9\xC3\xA9\0\0"s);
}

TEST(EncodedWordDecode, PaddingAndForeignCharactersCountAsZero) {
    EXPECT_EQ(decodeEncodedWord("=?x?B?SGk=?="), "Hi\0"s);
    EXPECT_EQ(decodeEncodedWord("=?x?B?Q*JD?="), "\x40\x02\x43"s);
    EXPECT_EQ(decodeEncodedWord("=?x?B?+/+/?="), "\xFB\xFF\xBF"s);
    EXPECT_EQ(decodeEncodedWord("=?x?B?\xFF\x80\0 ?="s), "\0\0\0"s);
}

TEST(EncodedWordDecode, IncompleteLastGroupIsDropped) {
    EXPECT_EQ(decodeEncodedWord("=?x?B?SGVsbG8hIQ?="), "Hello!");
    EXPECT_EQ(decodeEncodedWord("=?x?B?SGV?="), "");
    EXPECT_EQ(decodeEncodedWord("=?x?B?"
                                "?="),
              "");
}

TEST(EncodedWordDecode, OnlyTheFirstWordIsDecoded) {
    EXPECT_EQ(decodeEncodedWord("=?x?B?SGVsbG8h?= =?x?B?V29ybGQh?="), "Hello!");
}

TEST(EncodedWordDecode, TheFirstBMarkerInsideTheWordCounts) {
    // The charset's own "b?" is the first marker, so decoding starts right after it.
    EXPECT_EQ(decodeEncodedWord("=?b?QUJD?="), "ABC");
    EXPECT_EQ(decodeEncodedWord("=?utf-b?B?QUJD?="), "\x04\x04\x14"s);
}

TEST(EncodedWordDecode, WithoutAWordTheTextComesBackUnchanged) {
    EXPECT_EQ(decodeEncodedWord(""), "");
    EXPECT_EQ(decodeEncodedWord("Plain subject"), "Plain subject");
    EXPECT_EQ(decodeEncodedWord("=?utf-8?Q?caf=C3=A9?="), "=?utf-8?Q?caf=C3=A9?=");
    EXPECT_EQ(decodeEncodedWord("=?utf-8?B?SGVsbG8h"), "=?utf-8?B?SGVsbG8h");
    EXPECT_EQ(decodeEncodedWord("utf-8?B?SGVsbG8h?="), "utf-8?B?SGVsbG8h?=");
    // A "b?" outside the word does not count.
    EXPECT_EQ(decodeEncodedWord("b? =?x?Q?QUJD?= b?"), "b? =?x?Q?QUJD?= b?");
}

TEST(EncodedWordDecode, ClosingMarkBeforeOrInsideTheOpeningOneIsNoWord) {
    EXPECT_EQ(decodeEncodedWord("=?="), "=?=");
    EXPECT_EQ(decodeEncodedWord("=?b?="), "=?b?=");
    EXPECT_EQ(decodeEncodedWord("why?= =?x?B?QUJD?="), "why?= =?x?B?QUJD?=");
    EXPECT_EQ(decodeEncodedWord("?="), "?=");
}

TEST(EncodedWordDecode, HugeInputsStayProportionate) {
    const std::string marks(1 << 20, '?');
    EXPECT_EQ(decodeEncodedWord("=" + marks + "="), "=" + marks + "=");

    const std::string payload(3 << 18, 'A');
    EXPECT_EQ(decodeEncodedWord("=?x?B?" + payload + "?="),
              std::string(payload.size() / 4 * 3, '\0'));
}
