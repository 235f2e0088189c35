// Where the flag word goes: directly in front of the Subject value, on the
// first and the last Subject line, or on a new first line when there is none.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/HeaderParser.h"
#include "proxy/SpamMarker.h"

namespace {

const std::string kFlag = "*GLIMMERFENED!*";

// Marks a message as the proxy does: offsets from the header parser.
std::string mark(const std::string& text, const std::string& flag = kFlag) {
    CHeaderParser parser;
    parser.parse(text);
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(text.size() + proxy::kMaxMarkGrowth + 1);
    const std::size_t length = proxy::addSpamToSubject(
        buffer, text.size(), flag, parser.m_subjectOffset1, parser.m_subjectOffset2);
    EXPECT_LE(length, text.size() + proxy::kMaxMarkGrowth);
    EXPECT_EQ(buffer[length], '\0');
    return std::string(buffer.data(), length);
}

TEST(SpamMarkerTest, FlagGoesDirectlyBeforeASingleWordSubject) {
    const std::string text =
        "From: a@example.org\r\nSubject: Viagra\r\nTo: b@example.org\r\n\r\nbody\r\n.\r\n";
    EXPECT_EQ(mark(text),
              "From: a@example.org\r\nSubject: *GLIMMERFENED!*Viagra\r\nTo: "
              "b@example.org\r\n\r\nbody\r\n.\r\n");
}

TEST(SpamMarkerTest, MessageWithoutSubjectGetsANewFirstLine) {
    const std::string text = "From: a@example.org\r\nTo: b@example.org\r\n\r\nbody\r\n.\r\n";
    EXPECT_EQ(mark(text), "Subject: *GLIMMERFENED!*\r\n" + text);
}

TEST(SpamMarkerTest, FirstAndLastOfSeveralSubjectLinesAreMarked) {
    const std::string text =
        "From: a\r\nSubject: one\r\nSubject: two\r\nSubject: three\r\n\r\nbody\r\n";
    EXPECT_EQ(mark(text),
              "From: a\r\nSubject: *GLIMMERFENED!*one\r\nSubject: two\r\nSubject: "
              "*GLIMMERFENED!*three\r\n\r\nbody\r\n");
}

TEST(SpamMarkerTest, SubjectOnTheFirstLineCountsAsMissing) {
    const std::string text = "Subject: first\r\nFrom: a\r\n\r\nbody\r\n";
    EXPECT_EQ(mark(text), "Subject: *GLIMMERFENED!*\r\n" + text);
}

TEST(SpamMarkerTest, SubjectOnTheFirstLineAndALaterOneMarksTheLaterOne) {
    const std::string text = "Subject: first\r\nFrom: a\r\nSubject: second\r\n\r\nbody\r\n";
    EXPECT_EQ(mark(text),
              "Subject: first\r\nFrom: a\r\nSubject: *GLIMMERFENED!*second\r\n\r\nbody\r\n");
}

TEST(SpamMarkerTest, FlagOfTwentyCharactersTwiceFitsTheGrowth) {
    const std::string flag(20, 'F');
    const std::string text = "From: a\r\nSubject: x\r\nTo: b\r\nSubject: y\r\n\r\n";
    const std::string marked = mark(text, flag);
    EXPECT_EQ(marked.size(), text.size() + 40);
    EXPECT_EQ(marked,
              "From: a\r\nSubject: " + flag + "x\r\nTo: b\r\nSubject: " + flag + "y\r\n\r\n");
}

TEST(SpamMarkerTest, EmptySubjectValueGetsTheFlagAlone) {
    const std::string text = "From: a\r\nSubject: \r\n\r\nbody";
    EXPECT_EQ(mark(text), "From: a\r\nSubject: *GLIMMERFENED!*\r\n\r\nbody");
}

TEST(SpamMarkerTest, OffsetsPastTheTextAddNothing) {
    std::vector<char> buffer(64, '\0');
    const std::string text = "From: a\r\n\r\nbody";
    std::copy(text.begin(), text.end(), buffer.begin());
    const std::size_t length = proxy::addSpamToSubject(buffer, text.size(), "XX", 500, 600);
    EXPECT_EQ(std::string(buffer.data(), length), text);
}

TEST(SpamMarkerTest, ResultThatDoesNotFitLeavesTheBufferAlone) {
    const std::string text = "From: a\r\nSubject: b\r\n";
    std::vector<char> buffer(text.begin(), text.end());
    EXPECT_THROW(proxy::addSpamToSubject(buffer, text.size(), "FLAG", 18, 9), std::length_error);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), text);
    EXPECT_THROW(proxy::addSpamToSubject(buffer, text.size() + 1, "FLAG", 18, 9),
                 std::length_error);
}

}  // namespace
