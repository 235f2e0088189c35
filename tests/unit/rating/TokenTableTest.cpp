// Token identities, the count tables, the probability computation and
// MapProb.bin.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <bit>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "rating/AddressSpaceCap.h"
#include "rating/TokenCountTable.h"
#include "rating/TokenHash.h"
#include "rating/TokenProbabilityTable.h"
#include "rating/Tokenizer.h"
#include "rating/TrainingCounts.h"
#include "support/TempDirectory.h"

namespace {

const std::string kFile = "MapProb.bin";

// The probability table's file, byte by byte.
std::string u32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

std::string record(std::uint32_t key, float probability, std::uint8_t check) {
    return u32(key) + u32(std::bit_cast<std::uint32_t>(probability)) +
           std::string(1, static_cast<char>(check));
}

std::uint32_t u32At(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value =
            value << 8 | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
    }
    return value;
}

using Records = std::multimap<std::pair<std::uint32_t, int>, float>;

Records recordsOf(const std::string& bytes) {
    Records records;
    for (std::size_t at = 8; at + 9 <= bytes.size(); at += 9) {
        records.emplace(std::pair{u32At(bytes, at), static_cast<unsigned char>(bytes[at + 8])},
                        std::bit_cast<float>(u32At(bytes, at + 4)));
    }
    return records;
}

class RecordingProgress : public BuildProgress {
  public:
    void setRange(int low, int high) override { ranges.emplace_back(low, high); }
    void setPosition(int position) override { positions.push_back(position); }

    std::vector<std::pair<int, int>> ranges;
    std::vector<int> positions;
};

// A text of exactly one window, whose order-3 token is "alpha beta gamma".
const std::string kOneWindow = "alpha beta gamma\r\n";

// Trains `bad` copies of the window as bad and `good` as good, then pads the
// smaller class with windowless messages until both hold `messages`.
TrainingCounts countsFor(int bad, int good, int messages) {
    TrainingCounts counts;
    for (int i = 0; i < bad; ++i) {
        counts.trainText(kOneWindow, MailClass::Bad);
    }
    for (int i = 0; i < good; ++i) {
        counts.trainText(kOneWindow, MailClass::Good);
    }
    for (int i = bad; i < messages; ++i) {
        counts.trainText("no windows\r\n", MailClass::Bad);
    }
    for (int i = good; i < messages; ++i) {
        counts.trainText("two words\r\n", MailClass::Good);
    }
    return counts;
}

TokenProbabilityTable computed(const TrainingCounts& counts) {
    TokenProbabilityTable table;
    RecordingProgress progress;
    counts.computeProbabilities(table, progress, 0, 1.0f);
    return table;
}

}  // namespace

// ---- token identity ----

TEST(TokenHashTest, KnownValues) {
    EXPECT_EQ(tokenKey("abc"), 167174u);
    EXPECT_EQ(tokenCheck("abc"), 198u);
    EXPECT_EQ(tokenKey(""), 0u);
    EXPECT_EQ(tokenCheck(""), 0u);
    // Bytes above 127 count as negative: 0xE9 is -23, which wraps to 2^32 - 23.
    EXPECT_EQ(tokenKey("\xE9"), (4294967296u - 23u) % 1610612741u);
    EXPECT_EQ(tokenCheck("\xE9"), 0xE9u);
    // The check is taken modulo 251 after the 8-bit sum: 5*'3' + '3' = 306 = 50 mod 256.
    EXPECT_EQ(tokenCheck("\xFF"), 0xFFu % 251u);
    EXPECT_EQ(tokenCheck("33"), 50u);
}

TEST(TokenHashTest, KeyWrapsAt32BitsAndTakesTheModulus) {
    const std::string text = "a much longer token text than thirty-two bits can hold";
    std::uint64_t h = 0;
    for (const char c : text) {
        h = (h * 41 + static_cast<std::uint64_t>(static_cast<std::int64_t>(c))) & 0xFFFFFFFFu;
    }
    EXPECT_EQ(tokenKey(text), h % 1610612741u);
    EXPECT_LT(tokenKey(text), 1610612741u);
}

TEST(TokenHashTest, CheckCoversOnlyTheFirstFiveBytes) {
    EXPECT_EQ(tokenCheck("hello world"), tokenCheck("hello"));
    EXPECT_EQ(tokenCheck("hellothere"), tokenCheck("hello dear"));
    EXPECT_NE(tokenKey("hello world"), tokenKey("hello"));
}

// Composing the four keys from the words must agree with hashing the texts,
// for short words (the check then spans the joins), long ones and high bytes.
TEST(TokenHashTest, WindowIdentitiesMatchTheTokenTexts) {
    std::mt19937 random(20060309);
    const std::string alphabet = "abcXYZ019?!.$#\xC9\xFC\x8A\xA9\xFF";
    auto word = [&](std::size_t length) {
        std::string w;
        for (std::size_t i = 0; i < length; ++i) {
            w.push_back(alphabet[random() % alphabet.size()]);
        }
        return w;
    };
    for (int n = 0; n < 2000; ++n) {
        const std::string w1 = word(1 + random() % (n % 3 == 0 ? 40 : 6));
        const std::string w2 = word(1 + random() % 40);
        const std::string w3 = word(1 + random() % (n % 5 == 0 ? 40 : 3));
        const WordWindow window{w1, w2, w3};
        const PhraseTokens texts(window);
        const auto ids = phraseTokenIds(window);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(ids[i], tokenId(texts[i].text, static_cast<std::uint8_t>(texts[i].order)))
                << "token " << i << " of '" << w1 << "' '" << w2 << "' '" << w3 << "'";
        }
    }
}

// The build and the classifier take the identities window by window with the
// words' keys carried over; they must be those of each window on its own.
TEST(TokenHashTest, TextIdentitiesMatchEachWindowsOwn) {
    std::mt19937 random(1070);
    const std::string bytes = "abcdXYZ0189?!.,$-_ \r\n\t/<>\"\xC9\xE9\xFC\x8A\x80\xA0";
    for (int n = 0; n < 200; ++n) {
        std::string text;
        const std::size_t length = random() % 2000;
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(bytes[random() % bytes.size()]);
        }
        std::vector<std::array<TokenId, 4>> perWindow;
        tokenize(text, [&perWindow](const WordWindow& window) {
            perWindow.push_back(phraseTokenIds(window));
        });
        std::vector<std::array<TokenId, 4>> carried;
        tokenizeToIds(text,
                      [&carried](const std::array<TokenId, 4>& ids) { carried.push_back(ids); });
        ASSERT_EQ(carried, perWindow) << "text " << n;
    }
}

// ---- count tables ----

TEST(TokenCountTableTest, CountsPerKeyAndCheck) {
    TokenCountTable table;
    table.add(tokenId("alpha beta gamma", 3));
    table.add(tokenId("alpha beta gamma", 3));
    table.add(tokenId("alpha", 1));
    // Same key, another check: a separate entry.
    table.add(TokenId{tokenKey("alpha"), static_cast<std::uint8_t>(tokenCheck("alpha") + 1), 2});
    EXPECT_EQ(table.entryCount(), 3u);
    EXPECT_EQ(table.count(tokenKey("alpha beta gamma"), tokenCheck("alpha beta gamma")), 2);
    EXPECT_EQ(table.count(tokenKey("alpha"), tokenCheck("alpha")), 1);
    EXPECT_EQ(table.count(tokenKey("beta"), tokenCheck("beta")), 0);
    EXPECT_FALSE(table.find(tokenKey("beta"), tokenCheck("beta")));
    const auto entry = table.find(tokenKey("alpha"), tokenCheck("alpha") + 1);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->order, 2);
    EXPECT_EQ(table.messages(), 0u);
    table.addMessage();
    EXPECT_EQ(table.messages(), 1u);
}

TEST(TokenCountTableTest, TextsWithEqualKeyAndCheckShareOneEntry) {
    // 'A' * 41 + 'z' == 'B' * 41 + 'Q', after the same five bytes.
    ASSERT_EQ(tokenKey("helloAz"), tokenKey("helloBQ"));
    ASSERT_EQ(tokenCheck("helloAz"), tokenCheck("helloBQ"));
    TokenCountTable table;
    table.add(tokenId("helloAz", 3));
    table.add(tokenId("helloBQ", 1));
    EXPECT_EQ(table.entryCount(), 1u);
    const auto entry = table.find(tokenKey("helloBQ"), tokenCheck("helloBQ"));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->count, 2);
    EXPECT_EQ(entry->order, 3);  // the order it was created with
}

TEST(TokenCountTableTest, CountStopsAt65535) {
    TokenCountTable table;
    const TokenId token = tokenId("often", 1);
    for (int i = 0; i < 65537; ++i) {
        table.add(token);
    }
    EXPECT_EQ(table.count(token.key, token.check), 65535);
}

TEST(TokenCountTableTest, GrowsWithoutLosingEntries) {
    TokenCountTable table;
    for (std::uint32_t k = 0; k < 5000; ++k) {
        for (std::uint32_t n = 0; n <= k % 3; ++n) {
            table.add(TokenId{k * 7919u, static_cast<std::uint8_t>(k % 251), 3});
        }
    }
    EXPECT_EQ(table.entryCount(), 5000u);
    for (std::uint32_t k = 0; k < 5000; ++k) {
        EXPECT_EQ(table.count(k * 7919u, static_cast<std::uint8_t>(k % 251)), k % 3 + 1);
    }
}

// ---- probability computation ----

// The computation ends by saving the table, so it runs in a directory of its own.
class ComputeProbabilitiesTest : public ::testing::Test {
  protected:
    TempDirectory m_directory;
};

TEST_F(ComputeProbabilitiesTest, SinglePrecisionBoundsDecideWhatIsKept) {
    // Equal message counts: p = 0.8 exactly is below the float 0.8 and not kept.
    EXPECT_EQ(TrainingCounts::probability(4, 1, 4, 4, 3), 0.8);
    EXPECT_LT(0.8, TrainingCounts::kUpperBound);
    EXPECT_EQ(computed(countsFor(4, 1, 5)).entryCount(), 0u);

    const TokenProbabilityTable high = computed(countsFor(5, 1, 6));
    EXPECT_EQ(high.entryCount(), 1u);
    EXPECT_FLOAT_EQ(high.lookup("alpha beta gamma"), 5.0f / 6.0f);

    // p = 0.2 lies above the float just below 0.2: not kept either.
    EXPECT_NEAR(TrainingCounts::probability(1, 4, 4, 4, 3), 0.2, 1e-15);
    EXPECT_GT(TrainingCounts::probability(1, 4, 4, 4, 3), TrainingCounts::kLowerBound);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(TrainingCounts::kLowerBound)),
              0x3E4CCCCCu);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(TrainingCounts::kUpperBound)),
              0x3F4CCCCDu);
    EXPECT_EQ(computed(countsFor(1, 4, 5)).entryCount(), 0u);

    const TokenProbabilityTable low = computed(countsFor(1, 5, 6));
    EXPECT_EQ(low.entryCount(), 1u);
    EXPECT_FLOAT_EQ(low.lookup("alpha beta gamma"), 1.0f / 6.0f);
}

TEST_F(ComputeProbabilitiesTest, TooFewOccurrencesSayNothing) {
    EXPECT_EQ(computed(countsFor(3, 0, 3)).entryCount(), 0u);
    EXPECT_EQ(computed(countsFor(2, 1, 3)).entryCount(), 0u);
    const TokenProbabilityTable four = computed(countsFor(4, 0, 4));
    EXPECT_EQ(four.entryCount(), 1u);
    EXPECT_EQ(four.lookup("alpha beta gamma"), 0.99f);
}

TEST_F(ComputeProbabilitiesTest, FirstPassKeepsOnlyOrderThreeTokens) {
    const TokenProbabilityTable table = computed(countsFor(600, 0, 600));
    EXPECT_EQ(table.lookup("alpha"), 0.5f);
    EXPECT_EQ(table.lookup("alpha beta"), 0.5f);
    EXPECT_EQ(table.lookup("alpha gamma"), 0.5f);
    EXPECT_EQ(table.lookup("alpha beta gamma"), 0.99f);
    EXPECT_EQ(table.entryCount(), 1u);
    // Lopsided towards good mail, order 1 and 2 stay within 0.46875 and 0.375.
    EXPECT_EQ(computed(countsFor(1, 600, 600)).entryCount(), 1u);
}

TEST_F(ComputeProbabilitiesTest, MessageCountsWeighTheShares) {
    auto counts = [](int badMessages, int goodMessages) {
        TrainingCounts c;
        for (int i = 0; i < badMessages; ++i) {
            c.trainText(i < 4 ? kOneWindow : "x\r\n", MailClass::Bad);
        }
        for (int i = 0; i < goodMessages; ++i) {
            c.trainText(i < 1 ? kOneWindow : "x\r\n", MailClass::Good);
        }
        return c;
    };
    // b = 4 of 4 against g = 1 of 8: r = 1 / 1.125.
    EXPECT_FLOAT_EQ(computed(counts(4, 8)).lookup("alpha beta gamma"), 8.0f / 9.0f);
    // The same counts against 2 good messages: r = 2/3, too near the middle.
    EXPECT_EQ(computed(counts(4, 2)).entryCount(), 0u);
    // No good messages count as one.
    EXPECT_FLOAT_EQ(computed(counts(8, 0)).lookup("alpha beta gamma"), 0.99f);
}

TEST_F(ComputeProbabilitiesTest, TokensOnlyInGoodMailGetTheirOrdersFloor) {
    EXPECT_EQ(TrainingCounts::goodOnlyProbability(1), 0.46875f);
    EXPECT_EQ(TrainingCounts::goodOnlyProbability(2), 0.375f);
    EXPECT_EQ(TrainingCounts::goodOnlyProbability(3), 0.01f);

    const TokenProbabilityTable table = computed(countsFor(0, 4, 4));
    EXPECT_EQ(table.entryCount(), 4u);
    EXPECT_EQ(table.lookup("alpha"), 0.46875f);
    EXPECT_EQ(table.lookup("alpha beta"), 0.375f);
    EXPECT_EQ(table.lookup("alpha gamma"), 0.375f);
    EXPECT_EQ(table.lookup("alpha beta gamma"), 0.01f);

    EXPECT_EQ(computed(countsFor(0, 3, 3)).entryCount(), 0u);
}

TEST_F(ComputeProbabilitiesTest, ReportsProgressEveryTwentyOneEntries) {
    TrainingCounts counts;
    for (std::uint32_t k = 1; k <= 30; ++k) {
        counts.table(MailClass::Bad).add(TokenId{k, 0, 3});
    }
    for (std::uint32_t k = 101; k <= 112; ++k) {
        counts.table(MailClass::Good).add(TokenId{k, 0, 3});
    }
    TokenProbabilityTable table;
    RecordingProgress progress;
    counts.computeProbabilities(table, progress, 100, 1.5f);
    // After 21 and 42 entries: 100 + 31.5 and 100 + 63, truncated.
    EXPECT_EQ(progress.positions, (std::vector<int>{131, 163}));
    EXPECT_TRUE(progress.ranges.empty());
}

// ---- the probability table and MapProb.bin ----

TEST(TokenProbabilityTableTest, StoresReplacesAndCountsCollisions) {
    TokenProbabilityTable table;
    EXPECT_EQ(table.lookup("anything"), 0.5f);
    EXPECT_EQ(table.fileName(), "MapProb.bin");
    table.store(7, 1, 0.9f);
    table.store(7, 2, 0.2f);  // same key, another check
    table.store(7, 3, 0.3f);
    table.store(7, 1, 0.95f);  // replaced, not added
    table.store(8, 1, 0.1f);
    EXPECT_EQ(table.entryCount(), 4u);
    EXPECT_EQ(table.collisionCount(), 2u);
    EXPECT_EQ(table.lookup(7, 1), 0.95f);
    EXPECT_EQ(table.lookup(7, 2), 0.2f);
    EXPECT_EQ(table.lookup(7, 4), 0.5f);
    EXPECT_EQ(table.lookup(8, 1), 0.1f);
    table.clear();
    EXPECT_EQ(table.entryCount(), 0u);
    EXPECT_EQ(table.collisionCount(), 0u);
    EXPECT_EQ(table.lookup(7, 1), 0.5f);
}

TEST(TokenProbabilityTableTest, SavedFileLayoutIsByteExact) {
    TempDirectory directory;
    TokenProbabilityTable one;
    one.store(0x01020304, 0xC6, 0.99f);
    ASSERT_TRUE(one.save());
    EXPECT_EQ(readWholeFile(kFile), std::string("\x01\x00\x00\x00\x00\x00\x00\x00"
                                                "\x04\x03\x02\x01\xA4\x70\x7D\x3F\xC6",
                                                17));

    TokenProbabilityTable three;
    three.store(tokenKey("alpha beta gamma"), tokenCheck("alpha beta gamma"), 0.01f);
    three.store(42, 1, 0.75f);
    three.store(42, 2, 0.25f);
    ASSERT_TRUE(three.save());
    const std::string bytes = readWholeFile(kFile);
    ASSERT_EQ(bytes.size(), 8u + 9u * 3u);
    EXPECT_EQ(u32At(bytes, 0), 3u);
    EXPECT_EQ(u32At(bytes, 4), 1u);
    EXPECT_EQ(recordsOf(bytes),
              (Records{{{tokenKey("alpha beta gamma"), tokenCheck("alpha beta gamma")}, 0.01f},
                       {{42u, 1}, 0.75f},
                       {{42u, 2}, 0.25f}}));
    EXPECT_FALSE(std::filesystem::exists(kFile + ".new"));
}

TEST(TokenProbabilityTableTest, RoundTripKeepsEveryEntryAndTheCounts) {
    TempDirectory directory;
    TokenProbabilityTable saved;
    std::mt19937 random(7);
    for (std::uint32_t i = 0; i < 3000; ++i) {
        const std::uint32_t key = i % 7 == 0 ? 99 : static_cast<std::uint32_t>(random());
        saved.store(key, static_cast<std::uint8_t>(i % 251), static_cast<float>(i % 99 + 1) / 100);
    }
    ASSERT_TRUE(saved.save());
    const std::string bytes = readWholeFile(kFile);
    EXPECT_EQ(bytes.size(), 8u + 9u * saved.entryCount());

    TokenProbabilityTable loaded;
    ASSERT_TRUE(loaded.load());
    EXPECT_EQ(loaded.entryCount(), saved.entryCount());
    EXPECT_EQ(loaded.collisionCount(), saved.collisionCount());
    EXPECT_GT(saved.collisionCount(), 0u);
    saved.forEach([&](std::uint32_t key, std::uint8_t check, float p) {
        EXPECT_EQ(loaded.lookup(key, check), p);
    });
    ASSERT_TRUE(loaded.save());
    EXPECT_EQ(recordsOf(readWholeFile(kFile)), recordsOf(bytes));
}

TEST(TokenProbabilityTableTest, EmptyTableWritesNothing) {
    TempDirectory directory;
    writeWholeFile(kFile, u32(1) + u32(0) + record(5, 0.9f, 1));
    TokenProbabilityTable empty;
    EXPECT_FALSE(empty.save());
    EXPECT_EQ(readWholeFile(kFile), u32(1) + u32(0) + record(5, 0.9f, 1));
}

TEST(TokenProbabilityTableTest, FailedWriteKeepsThePreviousFile) {
    TempDirectory directory;
    const std::string previous = u32(1) + u32(0) + record(5, 0.9f, 1);
    writeWholeFile(kFile, previous);
    TokenProbabilityTable big;
    for (std::uint32_t k = 0; k < 1000; ++k) {
        big.store(k, 0, 0.99f);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    rlimit small = limit;
    small.rlim_cur = 100;  // far below the 9,008 bytes the table needs
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = big.save();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_FALSE(saved);
    EXPECT_EQ(readWholeFile(kFile), previous);
    EXPECT_FALSE(std::filesystem::exists(kFile + ".new"));
}

TEST(TokenProbabilityTableTest, MissingOrHeadlessFileLoadsEmpty) {
    TempDirectory directory;
    TokenProbabilityTable table;
    table.store(1, 1, 0.9f);
    EXPECT_FALSE(table.load());
    EXPECT_EQ(table.entryCount(), 0u);
    EXPECT_EQ(table.lookup(1, 1), 0.5f);

    writeWholeFile(kFile, std::string("\x05\x00\x00", 3));
    EXPECT_FALSE(table.load());
    EXPECT_EQ(table.entryCount(), 0u);
}

TEST(TokenProbabilityTableTest, ZeroCountLoadsEmptyWhateverFollows) {
    TempDirectory directory;
    writeWholeFile(kFile, u32(0) + u32(3) + record(5, 0.9f, 1));
    TokenProbabilityTable table;
    EXPECT_TRUE(table.load());
    EXPECT_EQ(table.entryCount(), 0u);
    EXPECT_EQ(table.lookup(5, 1), 0.5f);
}

TEST(TokenProbabilityTableTest, LengthThatDisagreesWithTheCountLoadsWholeRecordsOnly) {
    TempDirectory directory;
    // Five counted, three whole records and four bytes of a fourth.
    writeWholeFile(kFile, u32(5) + u32(1) + record(1, 0.9f, 1) + record(2, 0.8f, 2) +
                              record(2, 0.1f, 3) + record(4, 0.2f, 4).substr(0, 4));
    TokenProbabilityTable table;
    EXPECT_TRUE(table.load());
    EXPECT_EQ(table.entryCount(), 3u);
    EXPECT_EQ(table.collisionCount(), 1u);
    EXPECT_EQ(table.lookup(1, 1), 0.9f);
    EXPECT_EQ(table.lookup(2, 3), 0.1f);
    EXPECT_EQ(table.lookup(4, 4), 0.5f);

    // Two counted, three there: the third is not the table's.
    writeWholeFile(kFile,
                   u32(2) + u32(0) + record(1, 0.9f, 1) + record(2, 0.8f, 2) + record(3, 0.7f, 3));
    EXPECT_TRUE(table.load());
    EXPECT_EQ(table.entryCount(), 2u);
    EXPECT_EQ(table.lookup(3, 3), 0.5f);
}

TEST(TokenProbabilityTableTest, HugeCountInATinyFileAllocatesOnlyWhatIsThere) {
    TempDirectory directory;
    writeWholeFile(kFile,
                   u32(0xFFFFFFFFu) + u32(0xFFFFFFFFu) + record(1, 0.9f, 1) + record(2, 0.1f, 2));
    TokenProbabilityTable table;
    {
        // Room for a few megabytes, not for the 4 billion entries claimed.
        AddressSpaceCap cap(std::uint64_t{64} << 20);
        EXPECT_TRUE(table.load());
    }
    EXPECT_EQ(table.entryCount(), 2u);
    EXPECT_EQ(table.lookup(2, 2), 0.1f);
}

TEST(TokenProbabilityTableTest, SparseFileOfHugeApparentSizeAllocatesOnlyWhatIsRead) {
    TempDirectory directory;
    // Two real records, then a hole: 150 MB long, a few blocks on disk. Sized
    // by the file, the table would want some 400 MB.
    writeWholeFile(kFile, u32(0xFFFFFFFFu) + u32(0) + record(1, 0.9f, 1) + record(2, 0.1f, 2));
    constexpr std::uint64_t kApparentSize = 8 + 9 * (std::uint64_t{1} << 24);
    std::filesystem::resize_file(kFile, kApparentSize);
    TokenProbabilityTable table;
    {
        AddressSpaceCap cap(std::uint64_t{64} << 20);
        EXPECT_TRUE(table.load());
    }
    // The hole reads as records of key 0, check 0, probability 0: one entry.
    EXPECT_EQ(table.entryCount(), 3u);
    EXPECT_EQ(table.lookup(1, 1), 0.9f);
    EXPECT_EQ(table.lookup(2, 2), 0.1f);
    EXPECT_EQ(table.lookup(0, 0), 0.0f);
}

TEST(TokenProbabilityTableTest, RepeatedRecordsLoadAsTheFirstOneAndSaveOnce) {
    TempDirectory directory;
    constexpr std::uint32_t kRecords = 200'000;
    std::string bytes = u32(kRecords) + u32(0) + record(1, 0.9f, 1);
    for (std::uint32_t i = 1; i < kRecords; ++i) {
        bytes += record(1, i % 2 == 0 ? 0.9f : 0.2f, 1);
    }
    writeWholeFile(kFile, bytes);
    TokenProbabilityTable table;
    EXPECT_TRUE(table.load());
    EXPECT_EQ(table.entryCount(), 1u);
    EXPECT_EQ(table.lookup(1, 1), 0.9f);

    // Other checks of the same key are other tokens, and stay.
    writeWholeFile(kFile, u32(4) + u32(1) + record(1, 0.9f, 1) + record(1, 0.3f, 2) +
                              record(1, 0.1f, 1) + record(1, 0.7f, 2));
    EXPECT_TRUE(table.load());
    EXPECT_EQ(table.entryCount(), 2u);
    EXPECT_EQ(table.collisionCount(), 1u);
    EXPECT_EQ(table.lookup(1, 1), 0.9f);
    EXPECT_EQ(table.lookup(1, 2), 0.3f);
    ASSERT_TRUE(table.save());
    const std::string saved = readWholeFile(kFile);
    EXPECT_EQ(saved.size(), 8u + 9u * 2u);
    EXPECT_EQ(u32At(saved, 0), 2u);
    EXPECT_EQ(u32At(saved, 4), 1u);
    EXPECT_EQ(recordsOf(saved), (Records{{{1u, 1}, 0.9f}, {{1u, 2}, 0.3f}}));
}

TEST(TokenProbabilityTableTest, ProbabilitiesOutsideZeroToOneAreTamed) {
    TempDirectory directory;
    writeWholeFile(kFile, u32(4) + u32(0) + record(1, std::numeric_limits<float>::quiet_NaN(), 1) +
                              record(2, 7.5f, 2) +
                              record(3, -std::numeric_limits<float>::infinity(), 3) +
                              record(4, 0.25f, 4));
    TokenProbabilityTable table;
    EXPECT_TRUE(table.load());
    EXPECT_EQ(table.lookup(1, 1), 0.5f);
    EXPECT_EQ(table.lookup(2, 2), 1.0f);
    EXPECT_EQ(table.lookup(3, 3), 0.0f);
    EXPECT_EQ(table.lookup(4, 4), 0.25f);
}
