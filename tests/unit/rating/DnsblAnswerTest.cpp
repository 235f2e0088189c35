// Reading a name server's reply to a block-list query, from bytes laid out here.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "rating/DnsblAnswer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// "2.0.0.127.sbl-xbl.spamhaus.org" as labels.
const Bytes kQuestionName = {1,   '2', 1,   '0', 1,   '0', 3,   '1', '2', '7', 7,
                             's', 'b', 'l', '-', 'x', 'b', 'l', 8,   's', 'p', 'a',
                             'm', 'h', 'a', 'u', 's', 3,   'o', 'r', 'g', 0};

Bytes header(int code, int questions, int answers, std::uint8_t flags = 0x81) {
    return {0,     7,
            flags, static_cast<std::uint8_t>(0x80 | code),
            0,     static_cast<std::uint8_t>(questions),
            0,     static_cast<std::uint8_t>(answers),
            0,     0,
            0,     0};
}

void append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

void appendQuestion(Bytes& to) {
    append(to, kQuestionName);
    append(to, {0, 1, 0, 1});
}

// One record named by a pointer to the question name.
Bytes record(std::uint16_t type, std::uint16_t recordClass, const Bytes& data) {
    Bytes bytes = {0xC0,
                   0x0C,
                   static_cast<std::uint8_t>(type >> 8),
                   static_cast<std::uint8_t>(type),
                   static_cast<std::uint8_t>(recordClass >> 8),
                   static_cast<std::uint8_t>(recordClass),
                   0,
                   0,
                   0x0E,
                   0x10,
                   static_cast<std::uint8_t>(data.size() >> 8),
                   static_cast<std::uint8_t>(data.size())};
    append(bytes, data);
    return bytes;
}

Bytes answerWith(const Bytes& address) {
    Bytes bytes = header(0, 1, 1);
    appendQuestion(bytes);
    append(bytes, record(1, 1, address));
    return bytes;
}

int interpret(const Bytes& bytes) {
    return interpretDnsblAnswer(bytes);
}

TEST(DnsblAnswerTest, AddressInTheListedRangeGivesItsLastByte) {
    EXPECT_EQ(interpret(answerWith({127, 0, 0, 2})), 2);
    EXPECT_EQ(interpret(answerWith({127, 0, 0, 4})), 4);
    EXPECT_EQ(interpret(answerWith({127, 0, 0, 255})), 255);
    EXPECT_EQ(interpret(answerWith({127, 0, 0, 0})), 0);
}

TEST(DnsblAnswerTest, AddressesOutsideTheListedRangeAreUnusable) {
    EXPECT_EQ(interpret(answerWith({127, 255, 255, 254})), -1);
    EXPECT_EQ(interpret(answerWith({127, 255, 255, 252})), -1);
    EXPECT_EQ(interpret(answerWith({127, 0, 1, 2})), -1);
    EXPECT_EQ(interpret(answerWith({127, 1, 0, 2})), -1);
    EXPECT_EQ(interpret(answerWith({10, 0, 0, 2})), -1);
    EXPECT_EQ(interpret(answerWith({0, 0, 0, 2})), -1);
}

TEST(DnsblAnswerTest, ResponseCodesDecide) {
    Bytes noSuchName = header(3, 1, 0);
    appendQuestion(noSuchName);
    EXPECT_EQ(interpret(noSuchName), 0);
    EXPECT_EQ(interpret(header(3, 0, 0)), 0);
    for (int code : {1, 2, 4, 5, 6, 9, 15}) {
        Bytes bytes = header(code, 1, 0);
        appendQuestion(bytes);
        EXPECT_EQ(interpret(bytes), -1) << code;
    }
    // An error code with a listed record still is an error.
    Bytes failure = answerWith({127, 0, 0, 2});
    failure[3] = 0x82;
    EXPECT_EQ(interpret(failure), -1);
}

TEST(DnsblAnswerTest, ReplyWithoutRecordsIsNotListed) {
    Bytes bytes = header(0, 1, 0);
    appendQuestion(bytes);
    EXPECT_EQ(interpret(bytes), 0);
    EXPECT_EQ(interpret(header(0, 0, 0)), 0);
}

TEST(DnsblAnswerTest, DatagramThatIsNotAReplyIsUnusable) {
    Bytes bytes = answerWith({127, 0, 0, 2});
    bytes[2] = 0x01;
    EXPECT_EQ(interpret(bytes), -1);
    EXPECT_EQ(interpret(header(3, 1, 0, 0x01)), -1);
}

TEST(DnsblAnswerTest, EveryCutShortReplyIsUnusable) {
    const Bytes full = answerWith({127, 0, 0, 2});
    ASSERT_EQ(interpret(full), 2);
    for (std::size_t length = 0; length < full.size(); ++length) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(interpret(cut), -1) << length;
    }
}

TEST(DnsblAnswerTest, HeaderShorterThanTwelveBytesIsUnusable) {
    const Bytes full = header(3, 0, 0);
    for (std::size_t length = 0; length < full.size(); ++length) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(interpret(cut), -1) << length;
    }
}

TEST(DnsblAnswerTest, RecordNamesWrittenOutInFullAreSteppedOver) {
    Bytes bytes = header(0, 1, 1);
    appendQuestion(bytes);
    append(bytes, kQuestionName);
    append(bytes, {0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 3});
    EXPECT_EQ(interpret(bytes), 3);
}

TEST(DnsblAnswerTest, FirstAddressRecordDecidesAfterOtherRecords) {
    Bytes bytes = header(0, 1, 2);
    appendQuestion(bytes);
    append(bytes, record(5, 1, {3, 'a', 'b', 'c', 0}));  // CNAME
    append(bytes, record(1, 1, {127, 0, 0, 9}));
    EXPECT_EQ(interpret(bytes), 9);

    Bytes twoAddresses = header(0, 1, 2);
    appendQuestion(twoAddresses);
    append(twoAddresses, record(1, 1, {127, 0, 0, 4}));
    append(twoAddresses, record(1, 1, {127, 0, 0, 2}));
    EXPECT_EQ(interpret(twoAddresses), 4);
}

TEST(DnsblAnswerTest, RecordsWithoutAnAddressAreUnusable) {
    Bytes onlyText = header(0, 1, 1);
    appendQuestion(onlyText);
    append(onlyText, record(16, 1, {3, 'a', 'b', 'c'}));
    EXPECT_EQ(interpret(onlyText), -1);

    Bytes otherClass = header(0, 1, 1);
    appendQuestion(otherClass);
    append(otherClass, record(1, 3, {127, 0, 0, 2}));
    EXPECT_EQ(interpret(otherClass), -1);

    for (const Bytes& data : {Bytes{127, 0, 0}, Bytes{127, 0, 0, 2, 0}, Bytes{}}) {
        Bytes wrongLength = header(0, 1, 1);
        appendQuestion(wrongLength);
        append(wrongLength, record(1, 1, data));
        EXPECT_EQ(interpret(wrongLength), -1) << data.size();
    }
}

TEST(DnsblAnswerTest, MoreRecordsAnnouncedThanSentIsUnusable) {
    Bytes bytes = header(0, 1, 2);
    appendQuestion(bytes);
    append(bytes, record(5, 1, {0}));
    EXPECT_EQ(interpret(bytes), -1);
}

TEST(DnsblAnswerTest, SeveralQuestionsAreSteppedOver) {
    Bytes bytes = header(0, 2, 1);
    appendQuestion(bytes);
    appendQuestion(bytes);
    append(bytes, record(1, 1, {127, 0, 0, 2}));
    EXPECT_EQ(interpret(bytes), 2);

    Bytes announcedOnly = header(0, 3, 1);
    appendQuestion(announcedOnly);
    append(announcedOnly, record(1, 1, {127, 0, 0, 2}));
    EXPECT_EQ(interpret(announcedOnly), -1);
}

TEST(DnsblAnswerTest, MalformedNamesAreUnusable) {
    // A label running past the end of the datagram.
    Bytes longLabel = header(0, 1, 1);
    append(longLabel, {60, 'a', 'b'});
    EXPECT_EQ(interpret(longLabel), -1);

    // The reserved label types 0x40 and 0x80.
    for (std::uint8_t kind : {0x41, 0x81}) {
        Bytes reserved = header(0, 1, 1);
        append(reserved, {kind, 'a', 0, 0, 1, 0, 1});
        append(reserved, record(1, 1, {127, 0, 0, 2}));
        EXPECT_EQ(interpret(reserved), -1) << int{kind};
    }

    // A pointer that points at itself is not followed and ends the name.
    Bytes selfPointer = header(0, 1, 1);
    append(selfPointer, {0xC0, 12, 0, 1, 0, 1});
    append(selfPointer, record(1, 1, {127, 0, 0, 6}));
    EXPECT_EQ(interpret(selfPointer), 6);

    // A pointer whose second byte is missing.
    Bytes halfPointer = header(0, 1, 1);
    append(halfPointer, {0xC0});
    EXPECT_EQ(interpret(halfPointer), -1);
}

TEST(DnsblAnswerTest, ArbitraryBytesGiveAResultInRange) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> size(0, 80);
    const Bytes base = answerWith({127, 0, 0, 2});
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes;
        if (round % 2 == 0) {
            bytes.resize(static_cast<std::size_t>(size(random)));
            for (auto& b : bytes) {
                b = static_cast<std::uint8_t>(byte(random));
            }
            if (bytes.size() > 3) {
                bytes[2] |= 0x80;
                bytes[3] &= 0xF0;
            }
        } else {
            // A real reply with a few bytes changed, so the walk gets deep.
            bytes = base;
            for (int flips = 0; flips < 3; ++flips) {
                bytes[static_cast<std::size_t>(byte(random)) % bytes.size()] =
                    static_cast<std::uint8_t>(byte(random));
            }
            bytes.resize(bytes.size() - static_cast<std::size_t>(byte(random) % 8));
        }
        const DnsblReply reply = readDnsblReply(bytes);
        EXPECT_GE(reply.result, -1);
        EXPECT_LE(reply.result, 255);
        // A result of 0 or more needs a reply that was read to its address.
        if (!reply.answered) {
            EXPECT_EQ(reply.result, -1);
        }
        EXPECT_EQ(interpret(bytes), reply.result);
    }
}

// ---- whether the name server answered at all ----

bool answered(const Bytes& bytes) {
    return readDnsblReply(bytes).answered;
}

TEST(DnsblAnswerTest, WellFormedRepliesWithCodeZeroOrThreeAreAnswersWhateverTheySay) {
    EXPECT_TRUE(answered(answerWith({127, 0, 0, 2})));
    // Refused by the list, or outside its range: no listing, but an answer.
    for (const Bytes& address : {Bytes{127, 255, 255, 254}, Bytes{127, 255, 255, 252},
                                 Bytes{10, 0, 0, 2}, Bytes{0, 0, 0, 0}}) {
        const DnsblReply reply = readDnsblReply(answerWith(address));
        EXPECT_TRUE(reply.answered) << int{address[0]} << '.' << int{address[3]};
        EXPECT_EQ(reply.result, -1);
    }
    Bytes noSuchName = header(3, 1, 0);
    appendQuestion(noSuchName);
    EXPECT_TRUE(answered(noSuchName));
    EXPECT_TRUE(answered(header(3, 0, 0)));
    Bytes noRecords = header(0, 1, 0);
    appendQuestion(noRecords);
    EXPECT_TRUE(answered(noRecords));
    Bytes onlyText = header(0, 1, 1);
    appendQuestion(onlyText);
    append(onlyText, record(16, 1, {3, 'a', 'b', 'c'}));
    EXPECT_TRUE(answered(onlyText));
}

TEST(DnsblAnswerTest, ErrorCodesAndMalformedDatagramsAreNoAnswer) {
    for (int code : {1, 2, 4, 5, 6, 9, 15}) {
        Bytes bytes = header(code, 1, 0);
        appendQuestion(bytes);
        EXPECT_FALSE(answered(bytes)) << code;
    }
    Bytes query = answerWith({127, 0, 0, 2});
    query[2] = 0x01;
    EXPECT_FALSE(answered(query));

    const Bytes full = answerWith({127, 255, 255, 254});
    for (std::size_t length = 0; length < full.size(); ++length) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(answered(cut)) << length;
    }

    Bytes wrongLength = header(0, 1, 1);
    appendQuestion(wrongLength);
    append(wrongLength, record(1, 1, {127, 255, 255}));
    EXPECT_FALSE(answered(wrongLength));

    Bytes missingRecord = header(0, 1, 2);
    appendQuestion(missingRecord);
    append(missingRecord, record(16, 1, {0}));
    EXPECT_FALSE(answered(missingRecord));
}

}  // namespace
