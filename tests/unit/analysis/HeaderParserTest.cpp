#include "analysis/HeaderParser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// A header of the given lines, each ended by CR LF, then the empty line and a body.
std::string headerOf(const Lines& lines, const std::string& body = "Body text\r\n") {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text + "\r\n" + body;
}

CHeaderParser parsed(const std::string& text) {
    CHeaderParser parser;
    parser.parse(text.data(), text.size());
    return parser;
}

std::string joinedWithCrLf(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

void expectDefaultDate(const CHeaderParser& parser) {
    const FieldTexts texts = parser.getFieldTexts();
    EXPECT_EQ(texts[kFieldDay], "1");
    EXPECT_EQ(texts[kFieldMonthName], "Jan");
    EXPECT_EQ(texts[kFieldYear], "0");
    EXPECT_EQ(texts[kFieldHour], "0");
    EXPECT_EQ(texts[kFieldMinute], "0");
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.day, 1);
    EXPECT_EQ(record.month, 1);
    EXPECT_EQ(record.year, 0);
    EXPECT_EQ(record.hour, 0);
    EXPECT_EQ(record.minute, 0);
}

CHeaderParser parsedDate(const std::string& date) {
    return parsed(headerOf({"From: a@example.org", "Date: " + date}));
}

}  // namespace

// ---- Lines and header length ----

TEST(HeaderParserLines, SplitsAtCrLfAndStopsAtTheEmptyLine) {
    const std::string text = "A: 1\r\nBb: 22\r\n\r\nSubject: in the body\r\n";
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(parser.lines(), (Lines{"A: 1", "Bb: 22"}));
    EXPECT_EQ(parser.lineCount(), 2);
    EXPECT_EQ(parser.getHeaderRecord().headerLength, 16);
    EXPECT_EQ(parser.getFieldTexts()[kFieldHeaderLength], "16");
    EXPECT_EQ(parser.getHeaderRecord().subject, "");
}

TEST(HeaderParserLines, HeaderWithoutEmptyLineSpansTheWholeTextAndDropsTheUnfinishedLine) {
    const std::string text = "A: 1\r\nB: 2\r\nSubject: cut sh";
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(parser.lines(), (Lines{"A: 1", "B: 2"}));
    EXPECT_EQ(parser.lineCount(), 2);
    EXPECT_EQ(parser.getHeaderRecord().headerLength, static_cast<std::int32_t>(text.size()));
    EXPECT_EQ(parser.getHeaderRecord().subject, "");

    const std::string ending = "A: 1\r\nB: 2\r\n";
    EXPECT_EQ(parsed(ending).getHeaderRecord().headerLength, 12);
    EXPECT_EQ(parsed(ending).lineCount(), 2);
}

TEST(HeaderParserLines, LoneLfAndLoneCrDoNotEndALine) {
    const CHeaderParser parser = parsed("A\nB\rC\r\n\n\r\r\nD\r\n\r\n");
    EXPECT_EQ(parser.lines(), (Lines{"A\nB\rC", "\n\r", "D"}));
    EXPECT_EQ(parser.getHeaderRecord().headerLength, 16);
}

TEST(HeaderParserLines, LfCrIsNotALineEnd) {
    const CHeaderParser parser = parsed("Subject: x\n\rTo: y\r\n\r\n");
    EXPECT_EQ(parser.lines(), (Lines{"Subject: x\n\rTo: y"}));
    EXPECT_EQ(parser.getHeaderRecord().subject, "x\n\rTo: y");
    EXPECT_EQ(parser.getHeaderRecord().to, "");
}

TEST(HeaderParserLines, EmptyTextAndLeadingEmptyLine) {
    const CHeaderParser empty = parsed("");
    EXPECT_TRUE(empty.lines().empty());
    EXPECT_EQ(empty.lineCount(), 0);
    EXPECT_EQ(empty.getHeaderRecord().headerLength, 0);
    EXPECT_EQ(empty.getFieldTexts()[kFieldHeaderLength], "0");

    CHeaderParser nullText;
    nullText.parse(nullptr, 0);
    EXPECT_EQ(nullText.getHeaderRecord().headerLength, 0);

    const CHeaderParser leading = parsed("\r\nSubject: hidden\r\n\r\n");
    EXPECT_TRUE(leading.lines().empty());
    EXPECT_EQ(leading.getHeaderRecord().headerLength, 2);
    EXPECT_EQ(leading.getHeaderRecord().subject, "");
}

TEST(HeaderParserLines, ReadsOnlyTheGivenLength) {
    const std::string text = "Subject: kept\r\nFrom: dropped\r\n\r\n";
    CHeaderParser parser;
    parser.parse(text.data(), 15);
    EXPECT_EQ(parser.getHeaderRecord().subject, "kept");
    EXPECT_EQ(parser.getHeaderRecord().from, "");
    EXPECT_EQ(parser.getHeaderRecord().headerLength, 15);
}

// ---- Defaults and the record ----

TEST(HeaderParserRecord, DefaultsWithoutFieldLines) {
    const CHeaderParser parser = parsed(headerOf({"X-Mailer: something"}));
    expectDefaultDate(parser);
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.from, "");
    EXPECT_EQ(record.to, "");
    EXPECT_EQ(record.subject, "");
    EXPECT_EQ(record.flag, 0);
    EXPECT_EQ(record.index, 0);
    EXPECT_EQ(record.messageLength, 1);
    EXPECT_EQ(record.timeStamp, 0);
    EXPECT_EQ(record.headerLength, 23);
    EXPECT_EQ(parser.m_subjectOffset1, 9);
    EXPECT_EQ(parser.m_subjectOffset2, 9);
    EXPECT_TRUE(parser.received().empty());
    EXPECT_TRUE(parser.receivedIPs().empty());
    EXPECT_TRUE(parser.dateWords().empty());
}

TEST(HeaderParserRecord, FieldTextsComeInTheirFixedOrder) {
    const std::string text = headerOf({"From: Ann <ann@example.org>", "To: bob@example.net",
                                       "Subject: Lunch", "Date: Tue, 07 Mar 2006 09:45:01 +0100"});
    const FieldTexts expected = {"Ann <ann@example.org>",
                                 "bob@example.net",
                                 "Lunch",
                                 "7",
                                 "Mar",
                                 "2006",
                                 "09",
                                 "45",
                                 "",
                                 std::to_string(text.find("\r\n\r\n") + 4),
                                 "",
                                 ""};
    EXPECT_EQ(parsed(text).getFieldTexts(), expected);
}

TEST(HeaderParserRecord, EachParseReplacesThePreviousResults) {
    CHeaderParser parser;
    const std::string full =
        headerOf({"Received: from a ([192.0.2.1]) by b", "From: x@example.org", "To: y@example.org",
                  "Subject: one", "Subject: two", "Date: Tue, 07 Mar 2006 09:45:01 +0100"});
    parser.parse(full.data(), full.size());
    ASSERT_EQ(parser.receivedIPs().size(), 1u);
    ASSERT_GT(parser.m_subjectOffset1, 9);

    const std::string bare = headerOf({"X-Other: 1"});
    parser.parse(bare.data(), bare.size());
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.from, "");
    EXPECT_EQ(record.to, "");
    EXPECT_EQ(record.subject, "");
    EXPECT_EQ(record.headerLength, 14);
    expectDefaultDate(parser);
    EXPECT_EQ(parser.m_subjectOffset1, 9);
    EXPECT_EQ(parser.m_subjectOffset2, 9);
    EXPECT_TRUE(parser.received().empty());
    EXPECT_TRUE(parser.receivedIPs().empty());
    EXPECT_TRUE(parser.dateWords().empty());
    EXPECT_EQ(parser.lines(), (Lines{"X-Other: 1"}));
}

// ---- Field lines ----

TEST(HeaderParserFields, PrefixesMatchWithoutRegardToCaseAndOnlyAtLineStart) {
    const CHeaderParser parser =
        parsed(headerOf({"FROM: upper@example.org", "to: lower@example.org", "SUBJECT: Shout",
                         "X-From: other@example.org", " Subject: folded"}));
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.from, "upper@example.org");
    EXPECT_EQ(record.to, "lower@example.org");
    EXPECT_EQ(record.subject, "Shout");
}

TEST(HeaderParserFields, TheSpaceAfterTheColonIsPartOfTheMatch) {
    const CHeaderParser parser = parsed(headerOf(
        {"Subject:NoSpace", "From:\tx@example.org", "To:", "Date:Tue, 07 Mar 2006 09:45:01"}));
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.subject, "");
    EXPECT_EQ(record.from, "");
    EXPECT_EQ(record.to, "");
    EXPECT_EQ(parser.m_subjectOffset1, 9);
    expectDefaultDate(parser);
}

TEST(HeaderParserFields, LaterLinesOverwriteAndValuesKeepTheirBytes) {
    const CHeaderParser parser = parsed(headerOf(
        {"From: first@example.org", "From: second@example.org ", "To: ", "Subject:  two spaces"}));
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.from, "second@example.org ");
    EXPECT_EQ(record.to, "");
    EXPECT_EQ(record.subject, " two spaces");
}

TEST(HeaderParserFields, BytesAboveAsciiOnlyEqualThemselves) {
    // 0xC6 and 0xE6 are upper and lower case of one letter in Latin-1; the
    // parser must not fold them, nor take them for ASCII letters.
    const CHeaderParser parser =
        parsed(headerOf({"\xC6rom: a",
                         "Subj\xC5"
                         "ct: b",
                         "Date: Tue, 07 M\xC1r 2006 09:45:01 +0100", "To: \xE6\xC6\xFF"}));
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.from, "");
    EXPECT_EQ(record.subject, "");
    EXPECT_EQ(record.to, "\xE6\xC6\xFF");
    EXPECT_EQ(parser.getFieldTexts()[kFieldMonthName], "");
    EXPECT_EQ(record.month, 1);
}

// ---- Subject offsets ----

TEST(HeaderParserSubjectOffsets, WithoutSubjectBothAreNine) {
    const CHeaderParser parser = parsed(headerOf({"From: a@example.org", "To: b@example.org"}));
    EXPECT_EQ(parser.m_subjectOffset1, 9);
    EXPECT_EQ(parser.m_subjectOffset2, 9);
}

TEST(HeaderParserSubjectOffsets, SingleSubjectSetsOnlyTheFirst) {
    const std::string text = headerOf({"From: a@example.org", "To: b@example.org", "Subject: Hi"});
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(parser.m_subjectOffset1, static_cast<std::int32_t>(text.find("Hi")));
    EXPECT_EQ(parser.m_subjectOffset2, 9);
}

TEST(HeaderParserSubjectOffsets, TwoSubjectsPointPastEachPrefix) {
    const std::string text = headerOf(
        {"From: a@example.org", "Subject: alpha", "X-Spacer: 123", "subject: omega", "To: b"});
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(parser.getHeaderRecord().subject, "omega");
    EXPECT_EQ(text.substr(static_cast<std::size_t>(parser.m_subjectOffset1), 5), "alpha");
    EXPECT_EQ(text.substr(static_cast<std::size_t>(parser.m_subjectOffset2), 5), "omega");
}

TEST(HeaderParserSubjectOffsets, ThreeSubjectsUseTheFirstAndTheLast) {
    const std::string text =
        headerOf({"A: 1", "Subject: one", "Subject: two", "B: 2", "Subject: three"});
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(text.substr(static_cast<std::size_t>(parser.m_subjectOffset1), 3), "one");
    EXPECT_EQ(text.substr(static_cast<std::size_t>(parser.m_subjectOffset2), 5), "three");
    EXPECT_EQ(parser.getHeaderRecord().subject, "three");
}

TEST(HeaderParserSubjectOffsets, SubjectOnTheFirstLineGivesNine) {
    const std::string text = headerOf({"Subject: first", "From: a@example.org"});
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(parser.m_subjectOffset1, 9);
    EXPECT_EQ(parser.m_subjectOffset2, 9);
    EXPECT_EQ(parser.getHeaderRecord().subject, "first");

    const std::string twice = headerOf({"Subject: first", "X: y", "Subject: again"});
    const CHeaderParser second = parsed(twice);
    EXPECT_EQ(second.m_subjectOffset1, 9);
    EXPECT_EQ(twice.substr(static_cast<std::size_t>(second.m_subjectOffset2), 5), "again");
}

TEST(HeaderParserSubjectOffsets, CountLinesHoldingLoneCrAndLf) {
    const std::string text = headerOf({"X: a\nb\rc", "Subject: s"});
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(text[static_cast<std::size_t>(parser.m_subjectOffset1)], 's');
}

// ---- Date ----

TEST(HeaderParserDate, ReadsTheUsualForm) {
    const CHeaderParser parser = parsedDate("Thu, 05 Jan 2006 14:03:22 +0000");
    const FieldTexts texts = parser.getFieldTexts();
    EXPECT_EQ(texts[kFieldDay], "5");
    EXPECT_EQ(texts[kFieldMonthName], "Jan");
    EXPECT_EQ(texts[kFieldYear], "2006");
    EXPECT_EQ(texts[kFieldHour], "14");
    EXPECT_EQ(texts[kFieldMinute], "03");
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.day, 5);
    EXPECT_EQ(record.month, 1);
    EXPECT_EQ(record.year, 2006);
    EXPECT_EQ(record.hour, 14);
    EXPECT_EQ(record.minute, 3);
    EXPECT_EQ(parser.dateWords(), (Lines{"Thu,", "05", "Jan", "2006", "14:03:22", "+0000"}));
}

TEST(HeaderParserDate, MonthNameKeepsItsWrittenCase) {
    const CHeaderParser parser = parsedDate("Sun, 31 DEC 1999 23:59:59 GMT");
    EXPECT_EQ(parser.getFieldTexts()[kFieldMonthName], "DEC");
    EXPECT_EQ(parser.getHeaderRecord().month, 12);
    EXPECT_EQ(parser.getHeaderRecord().day, 31);
}

TEST(HeaderParserDate, NineteenCharactersOrFewerLeaveTheDefaults) {
    expectDefaultDate(parsedDate("05 Jan 2006"));
    const CHeaderParser nineteen = parsedDate("5 Mar 2006 10:11:12");
    expectDefaultDate(nineteen);
    EXPECT_TRUE(nineteen.dateWords().empty());

    const CHeaderParser twenty = parsedDate("05 Mar 2006 10:11:12");
    EXPECT_EQ(twenty.getHeaderRecord().month, 3);
    EXPECT_EQ(twenty.getHeaderRecord().minute, 11);
}

TEST(HeaderParserDate, LongValueWithoutQualifyingWordsEmptiesTheParts) {
    const CHeaderParser parser = parsedDate("sometime-during-the-week-of-march");
    const FieldTexts texts = parser.getFieldTexts();
    EXPECT_EQ(texts[kFieldDay], "");
    EXPECT_EQ(texts[kFieldMonthName], "");
    EXPECT_EQ(texts[kFieldYear], "");
    EXPECT_EQ(texts[kFieldHour], "");
    EXPECT_EQ(texts[kFieldMinute], "");
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.day, 0);
    EXPECT_EQ(record.month, 1);
    EXPECT_EQ(record.year, 0);
    EXPECT_EQ(record.hour, 0);
    EXPECT_EQ(record.minute, 0);
}

TEST(HeaderParserDate, EachPartComesFromTheFirstWordThatQualifies) {
    const CHeaderParser parser =
        parsedDate("Mon,  7 January Feb 20x6 2011 09:08:07 -0500 12 Mar 1999 10:11:12");
    const FieldTexts texts = parser.getFieldTexts();
    EXPECT_EQ(texts[kFieldDay], "7");
    EXPECT_EQ(texts[kFieldMonthName], "Feb");
    EXPECT_EQ(texts[kFieldYear], "2011");
    EXPECT_EQ(texts[kFieldHour], "09");
    EXPECT_EQ(texts[kFieldMinute], "08");
    EXPECT_EQ(parser.dateWords().front(), "Mon,");
    EXPECT_EQ(parser.dateWords()[1], "7");
}

TEST(HeaderParserDate, AnyEightCharacterWordIsTakenAsTheTime) {
    const CHeaderParser parser = parsedDate("Saturday 03 Apr 2010 18:30:00");
    EXPECT_EQ(parser.getFieldTexts()[kFieldHour], "Sa");
    EXPECT_EQ(parser.getFieldTexts()[kFieldMinute], "ur");
    EXPECT_EQ(parser.getHeaderRecord().hour, 0);
    EXPECT_EQ(parser.getHeaderRecord().minute, 0);
    EXPECT_EQ(parser.getHeaderRecord().day, 3);
}

TEST(HeaderParserDate, NumbersReadLeadingDigitsOnly) {
    const CHeaderParser parser = parsedDate("Wed 5, Jun 2013 7a:b4:00 +0000");
    EXPECT_EQ(parser.getFieldTexts()[kFieldDay], "5,");
    const HeaderRecord record = parser.getHeaderRecord();
    EXPECT_EQ(record.day, 5);
    EXPECT_EQ(record.month, 6);
    EXPECT_EQ(record.hour, 7);
    EXPECT_EQ(record.minute, 0);
}

TEST(HeaderParserDate, LeadingZeroDayKeepsOnlyItsSecondCharacter) {
    EXPECT_EQ(parsedDate("Fri, 0x Nov 2006 14:03:22 +0000").getFieldTexts()[kFieldDay], "x");
    EXPECT_EQ(parsedDate("Fri, 0 Nov 2006 14:03:22 +0000").getFieldTexts()[kFieldDay], "");
}

TEST(HeaderParserDate, TheLastDateLineCounts) {
    const CHeaderParser parser = parsed(headerOf(
        {"Date: Thu, 05 Jan 2006 14:03:22 +0000", "Date: Fri, 17 Feb 2012 01:02:03 +0000"}));
    EXPECT_EQ(parser.getHeaderRecord().day, 17);
    EXPECT_EQ(parser.getHeaderRecord().year, 2012);

    const CHeaderParser shortLast =
        parsed(headerOf({"Date: Thu, 05 Jan 2006 14:03:22 +0000", "Date: 17 Feb 2012"}));
    expectDefaultDate(shortLast);
}

// ---- Received ----

TEST(HeaderParserReceived, CollectsValuesWithoutRegardToCase) {
    const CHeaderParser parser = parsed(headerOf({"Received: from a by b", "RECEIVED: from c by d",
                                                  "X-Received: from e", "Received:from f"}));
    EXPECT_EQ(parser.received(), (Lines{"from a by b", "from c by d"}));
}

TEST(HeaderParserReceived, JoinsOneSpaceFoldedContinuation) {
    const CHeaderParser parser =
        parsed(headerOf({"Received: from a (a [192.0.2.1])", "   by b with SMTP", " id 42",
                         "From: x@example.org"}));
    EXPECT_EQ(parser.received(), (Lines{"from a (a [192.0.2.1])    by b with SMTP"}));
    EXPECT_EQ(parser.getHeaderRecord().from, "x@example.org");
}

TEST(HeaderParserReceived, TabFoldedContinuationIsNotJoined) {
    const CHeaderParser parser =
        parsed(headerOf({"Received: from a", "\tby b (192.0.2.9)", "Received: from c"}));
    EXPECT_EQ(parser.received(), (Lines{"from a", "from c"}));
}

TEST(HeaderParserReceived, ValueOpenAtTheEndOfTheHeaderIsKept) {
    EXPECT_EQ(parsed(headerOf({"From: x", "Received: from last"})).received(),
              (Lines{"from last"}));
    EXPECT_EQ(parsed("Received: from cut\r\n").received(), (Lines{"from cut"}));
    EXPECT_EQ(parsed("Received: from cut").received(), Lines{});
}

TEST(HeaderParserReceived, AddressesComeFromTheFromClauses) {
    const CHeaderParser parser =
        parsed(headerOf({"Received: from mx.example.org (mx.example.org [198.51.100.7])",
                         " by inbound.example.net (203.0.113.2) with ESMTP",
                         "Received: from host (10.0.0.1)", "Subject: hi"}));
    EXPECT_EQ(parser.receivedIPs(), (Lines{"198.51.100.7", "10.0.0.1"}));
}

// ---- Hostile input ----

TEST(HeaderParserHostile, EmbeddedNulsAreOrdinaryBytes) {
    const std::string text("Subject: a\0b\r\nFrom: \0\r\n\0\r\n\r\n", 28);
    const CHeaderParser parser = parsed(text);
    EXPECT_EQ(parser.getHeaderRecord().subject, std::string("a\0b", 3));
    EXPECT_EQ(parser.getHeaderRecord().from, std::string("\0", 1));
    EXPECT_EQ(parser.lineCount(), 3);
    EXPECT_EQ(parser.getHeaderRecord().headerLength, 28);
}

TEST(HeaderParserHostile, RandomBytesKeepTheLinesConsistent) {
    std::mt19937 random(20240611u);
    // Few distinct byte values make CR LF pairs, empty lines and field
    // prefixes frequent enough to matter.
    const std::string alphabet = std::string("\r\n\0 :.1S", 8) + "ubjectRcivdFomTDa";
    for (int round = 0; round < 200; ++round) {
        std::string text(static_cast<std::size_t>(random() % 4000), '\0');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        const CHeaderParser parser = parsed(text);
        const std::string joined = joinedWithCrLf(parser.lines());
        const auto length = static_cast<std::size_t>(parser.getHeaderRecord().headerLength);
        ASSERT_LE(length, text.size());
        ASSERT_EQ(text.compare(0, joined.size(), joined), 0);
        if (length == text.size() && text.compare(joined.size(), 2, "\r\n") != 0) {
            ASSERT_EQ(text.find("\r\n", joined.size()), std::string::npos);
        } else {
            ASSERT_EQ(length, joined.size() + 2);
            ASSERT_EQ(text.compare(joined.size(), 2, "\r\n"), 0);
        }
        ASSERT_LE(parser.m_subjectOffset1, static_cast<std::int32_t>(length));
        ASSERT_LE(parser.m_subjectOffset2, static_cast<std::int32_t>(length));
    }
}

TEST(HeaderParserHostile, OneMegabyteOfGarbageParses) {
    std::mt19937 random(7u);
    std::string garbage(1 << 20, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random() & 0xFF);
    }
    const CHeaderParser parser = parsed(garbage);
    EXPECT_LE(parser.getHeaderRecord().headerLength, 1 << 20);

    const std::string oneLine = "Received: from " + std::string(1 << 20, '9') + "\r\n\r\n";
    const CHeaderParser longLine = parsed(oneLine);
    EXPECT_EQ(longLine.lineCount(), 1);
    EXPECT_TRUE(longLine.receivedIPs().empty());

    const std::string noLineEnd(1 << 20, 'x');
    const CHeaderParser endless = parsed(noLineEnd);
    EXPECT_EQ(endless.lineCount(), 0);
    EXPECT_EQ(endless.getHeaderRecord().headerLength, 1 << 20);

    const std::string longDate = "Date: " + std::string(1 << 20, ' ') + "7 Aug 2001 10:20:30\r\n";
    const CHeaderParser spaced = parsed(longDate);
    EXPECT_EQ(spaced.getHeaderRecord().month, 8);
    EXPECT_EQ(spaced.getHeaderRecord().minute, 20);
    EXPECT_EQ(spaced.dateWords().size(), 4u);
}
