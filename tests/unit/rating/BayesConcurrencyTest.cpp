// The proxy, the window thread, the folder test and the filter builder all use
// the one filter at once. Every caller must get the rating of its own text,
// and the test variant's borrowed switch must never show to anyone else.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rating/BayesFilter.h"
#include "store/EmailHeader.h"
#include "store/Folder.h"
#include "support/StoreFixture.h"

namespace {

// Small vocabularies, so that the word triples recur often enough to count.
const std::vector<std::string> kSpamWords = {"cheap", "pills", "offer", "winner", "prize"};
const std::vector<std::string> kHamWords = {"meeting", "agenda", "review", "report", "budget"};
const std::vector<std::string> kSharedWords = {"the", "and", "today"};

// Mostly one class's words with some shared ones, 60 words on CR LF lines.
std::string textOf(const std::vector<std::string>& words, std::mt19937& random) {
    std::string text;
    for (int i = 0; i < 60; ++i) {
        const std::vector<std::string>& from = random() % 5 == 0 ? kSharedWords : words;
        text += from[random() % from.size()];
        text += i % 10 == 9 ? "\r\n" : " ";
    }
    return text;
}

class CountingProgress : public BuildProgress {
  public:
    void setRange(int, int) override { ++calls; }
    void setPosition(int) override { ++calls; }
    std::atomic<int> calls{0};
};

class BayesConcurrencyTest : public StoreFixture {
  protected:
    void SetUp() override {
        std::mt19937 random(314159);
        for (int i = 0; i < 40; ++i) {
            store(folderKey(Folder::Bad), textOf(kSpamWords, random));
            store(folderKey(Folder::Good), textOf(kHamWords, random));
        }
        for (int i = 0; i < 6; ++i) {
            m_texts.push_back(textOf(i % 2 == 0 ? kSpamWords : kHamWords, random));
        }
        CountingProgress progress;
        ASSERT_EQ(m_filter.buildProbabilities(progress), BayesFilter::kBuilt);
        for (const std::string& text : m_texts) {
            const BayesRating reference = m_filter.rateTextForTest(text);
            ASSERT_NE(reference.rating, 0.5);
            m_references.push_back(reference);
        }
        ASSERT_TRUE(m_references[0].spam);
        ASSERT_FALSE(m_references[1].spam);
    }

    void store(std::string_view folder, const std::string& text) {
        EmailHeader header;
        header.textLength = static_cast<std::int32_t>(text.size());
        ASSERT_TRUE(db().setEmailHeader(db().getNextEmailIndex(), folder, header, text));
    }

    // A rating the filter may give for text k while others use it: its own
    // single-threaded rating, or the neutral 0.5 when the filter was off or
    // had no table (a build was under way) at the time.
    bool isOwnRating(std::size_t k, const BayesRating& rating) const {
        if (rating.rating == 0.5) {
            return !rating.spam;
        }
        return rating.rating == m_references[k].rating && rating.spam == m_references[k].spam;
    }

    bool isSomeRating(double value) const {
        if (value == 0.5) {
            return true;
        }
        for (const BayesRating& reference : m_references) {
            if (value == reference.rating) {
                return true;
            }
        }
        return false;
    }

    BayesFilter m_filter{db(), desktop()};
    std::vector<std::string> m_texts;
    std::vector<BayesRating> m_references;
};

}  // namespace

TEST_F(BayesConcurrencyTest, EveryCallerGetsItsOwnRatingWhileSwitchesAndBuildsRun) {
    m_filter.setEnabled(true, false);
    std::atomic<int> wrong{0};
    std::atomic<int> torn{0};
    std::atomic<bool> building{true};

    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                const std::size_t k = static_cast<std::size_t>(t + i) % m_texts.size();
                const BayesRating rating = m_filter.rateText(m_texts[k]);
                wrong += isOwnRating(k, rating) ? 0 : 1;
                torn += isSomeRating(m_filter.lastRating()) ? 0 : 1;
            }
        });
    }
    threads.emplace_back([&] {
        // The switch is flipped throughout, with and without the status pane,
        // and the test variant runs in between; it goes on until the builds end.
        for (int i = 0; building || i < 100; ++i) {
            const bool builtAlready = !building;
            m_filter.setEnabled(i % 2 == 0, i % 7 == 0);
            const std::size_t k = static_cast<std::size_t>(i) % m_texts.size();
            const BayesRating rating = m_filter.rateTextForTest(m_texts[k]);
            // Once the builds are over the table is there and the test variant rates.
            const bool right =
                builtAlready ? rating.rating == m_references[k].rating : isOwnRating(k, rating);
            wrong += right ? 0 : 1;
        }
    });
    std::thread builder([&] {
        CountingProgress progress;
        for (int b = 0; b < 2; ++b) {
            if (m_filter.buildProbabilities(progress) != BayesFilter::kBuilt) {
                ++wrong;
            }
        }
        building = false;
    });
    builder.join();
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(torn, 0);

    // The rebuilt table is the same table: every text rates as before.
    m_filter.setEnabled(true, false);
    for (std::size_t k = 0; k < m_texts.size(); ++k) {
        const BayesRating rating = m_filter.rateText(m_texts[k]);
        EXPECT_EQ(rating.rating, m_references[k].rating);
        EXPECT_EQ(rating.spam, m_references[k].spam);
    }
}

TEST_F(BayesConcurrencyTest, TheTestVariantsSwitchNeverShowsToOthers) {
    m_filter.setEnabled(false, false);
    std::atomic<bool> testing{true};
    std::atomic<int> sawOn{0};
    std::atomic<int> wrong{0};

    std::vector<std::thread> testers;
    for (int t = 0; t < 2; ++t) {
        testers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::size_t k = static_cast<std::size_t>(t + i) % m_texts.size();
                const BayesRating rating = m_filter.rateTextForTest(m_texts[k]);
                wrong += rating.rating == m_references[k].rating ? 0 : 1;
            }
        });
    }
    std::thread proxy([&] {
        // Switched off, the proxy's classification must rate nothing at all.
        for (std::size_t i = 0; testing; ++i) {
            const BayesRating rating = m_filter.rateText(m_texts[i % m_texts.size()]);
            sawOn += rating.rating == 0.5 && !rating.spam ? 0 : 1;
            sawOn += m_filter.isEnabled() ? 1 : 0;
        }
    });
    for (std::thread& tester : testers) {
        tester.join();
    }
    testing = false;
    proxy.join();
    EXPECT_EQ(sawOn, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(m_filter.isEnabled());
}
