// The end of a reply or command is found byte by byte, so it must be found
// wherever the reads split the bytes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/Terminator.h"

using proxy::advanceTerminator;
using proxy::UnitEnd;

namespace {

// Where in one read the unit ends, if it does: fed a byte at a time, or as
// the relay feeds it, the read whole.
std::optional<std::size_t> endInRead(UnitEnd& unit, std::string_view read, bool whole) {
    if (whole) {
        const std::size_t taken = unit.take(read);
        return unit.ended() ? std::optional<std::size_t>(taken) : std::nullopt;
    }
    for (std::size_t at = 0; at < read.size(); ++at) {
        if (unit.advance(read[at])) {
            return at + 1;
        }
    }
    return std::nullopt;
}

// Feeds `bytes` in reads cut at `splits` (ascending positions); returns the
// position just past the byte that ended the unit, if one did.
std::optional<std::size_t> endOver(const std::string& bytes, bool multiLine,
                                   const std::vector<std::size_t>& splits, bool wholeReads) {
    UnitEnd unit(multiLine);
    std::size_t start = 0;
    std::vector<std::size_t> cuts = splits;
    cuts.push_back(bytes.size());
    for (const std::size_t cut : cuts) {
        const std::string_view read = std::string_view(bytes).substr(start, cut - start);
        if (const std::optional<std::size_t> end = endInRead(unit, read, wholeReads)) {
            return start + *end;
        }
        start = cut;
    }
    return std::nullopt;
}

std::optional<std::size_t> endOver(const std::string& bytes, bool multiLine,
                                   const std::vector<std::size_t>& splits) {
    const std::optional<std::size_t> end = endOver(bytes, multiLine, splits, false);
    EXPECT_EQ(endOver(bytes, multiLine, splits, true), end) << "whole reads end elsewhere";
    return end;
}

// Every way of cutting `bytes` into two or three reads ends the unit at the
// same byte as reading it whole.
void expectEndAtEverySplit(const std::string& bytes, bool multiLine,
                           std::optional<std::size_t> expected) {
    ASSERT_EQ(endOver(bytes, multiLine, {}), expected);
    for (std::size_t first = 0; first <= bytes.size(); ++first) {
        EXPECT_EQ(endOver(bytes, multiLine, {first}), expected) << "split at " << first;
        for (std::size_t second = first; second <= bytes.size(); ++second) {
            ASSERT_EQ(endOver(bytes, multiLine, {first, second}), expected)
                << "splits at " << first << " and " << second;
        }
    }
}

TEST(TerminatorTest, StateTableOfMultiLineMode) {
    EXPECT_EQ(advanceTerminator(0, '\r', true), 1);
    EXPECT_EQ(advanceTerminator(3, '\r', true), 4);
    EXPECT_EQ(advanceTerminator(1, '\n', true), 2);
    EXPECT_EQ(advanceTerminator(4, '\n', true), 5);
    EXPECT_EQ(advanceTerminator(0, '\n', true), 0);
    EXPECT_EQ(advanceTerminator(2, '.', true), 3);
    EXPECT_EQ(advanceTerminator(3, '.', true), 0);
    EXPECT_EQ(advanceTerminator(2, 'x', true), 0);
}

TEST(TerminatorTest, StateTableOfSingleLineMode) {
    EXPECT_EQ(advanceTerminator(0, '\r', false), 1);
    EXPECT_EQ(advanceTerminator(1, '\n', false), 2);
    EXPECT_EQ(advanceTerminator(0, '\n', false), 0);
    EXPECT_EQ(advanceTerminator(2, '.', false), 0);
}

TEST(TerminatorTest, StatusLineFollowedByDotLineEndsAtEverySplit) {
    const std::string reply = "+OK 0 messages\r\n.\r\n";
    expectEndAtEverySplit(reply, true, reply.size());
}

TEST(TerminatorTest, DotStuffedLinesDoNotEndAMessage) {
    const std::string reply =
        "+OK 40 octets\r\nSubject: x\r\n\r\n..not the end\r\n.\r\n..\r\nlast\r\n.\r\n";
    const std::size_t end = reply.find("\r\n.\r\n") + 5;
    // The first "." line ends the reply; what follows belongs to no unit.
    expectEndAtEverySplit(reply, true, end);
    const std::string stuffed = "+OK\r\n..\r\n...\r\n.x\r\n.\r\n";
    expectEndAtEverySplit(stuffed, true, stuffed.size());
}

TEST(TerminatorTest, SingleLineEndsAtItsCrLf) {
    const std::string reply = "+OK 2 320\r\nleft over";
    expectEndAtEverySplit(reply, false, reply.find('\n') + 1);
    expectEndAtEverySplit("no line end", false, std::nullopt);
    expectEndAtEverySplit("bare\nLF then\r\n", false, std::string("bare\nLF then\r\n").size());
}

TEST(TerminatorTest, ErrorReplyToAMultiLineCommandIsOneLine) {
    const std::string reply = "-ERR no such message\r\n.\r\n";
    expectEndAtEverySplit(reply, true, reply.find('\n') + 1);
    UnitEnd unit(true);
    unit.advance('-');
    EXPECT_FALSE(unit.multiLine());
}

TEST(TerminatorTest, AMinusLaterInTheReplyChangesNothing) {
    const std::string reply = "+OK\r\n-1\r\n.\r\n";
    expectEndAtEverySplit(reply, true, reply.size());
}

TEST(TerminatorTest, IncompleteReplyNeverEnds) {
    expectEndAtEverySplit("+OK\r\nbody\r\n.\r", true, std::nullopt);
    expectEndAtEverySplit("+OK\r\nbody\r\n\r\n", true, std::nullopt);
}

TEST(TerminatorTest, StatusLineEndsAtTheFirstCrLf) {
    const std::string reply = "+OK here\r\nline\r\n.\r\n";
    UnitEnd unit(true);
    std::size_t statusLength = 0;
    for (const char byte : reply) {
        if (unit.inStatusLine()) {
            ++statusLength;
        }
        unit.advance(byte);
    }
    EXPECT_EQ(statusLength, std::string("+OK here\r\n").size());
    EXPECT_FALSE(unit.inStatusLine());
}

}  // namespace
