// Every retrieved message is tokenized and rated, whatever bytes it holds. The
// tokenizer must hand out only words it could have collected, the fast token
// identities must equal those of the phrase texts (a table built through one
// and read through the other would otherwise never match), and a rating must
// be a probability that decides spam at the threshold and nowhere else.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/BuildProgress.h"
#include "doubles/RecordingDesktop.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzDirectory.h"
#include "rating/BayesFilter.h"
#include "rating/CandidateList.h"
#include "rating/TokenHash.h"
#include "rating/Tokenizer.h"
#include "rating/TrainingCounts.h"
#include "store/Database.h"

namespace {

class SilentProgress : public BuildProgress {
  public:
    void setRange(int, int) override {}
    void setPosition(int) override {}
};

// A table trained on made-up mail: a spam and a ham vocabulary with common
// words shared, mixed by a fixed generator so that many three-word phrases
// occur often enough to be kept. Seeds made of the same words reach ratings
// away from 0.5 from the start.
std::string trainingText(const std::vector<std::string_view>& words, std::uint32_t& state) {
    static const std::array<std::string_view, 6> kShared = {"the", "and",  "you",
                                                            "for", "with", "mail"};
    std::string text;
    for (int i = 0; i < 80; ++i) {
        state = state * 1664525u + 1013904223u;
        const std::uint32_t pick = state >> 24;
        text += pick % 4 == 0 ? kShared[pick % kShared.size()] : words[pick % words.size()];
        text += ' ';
    }
    return text;
}

class RatingWorld {
  public:
    RatingWorld()
        : m_directory("rating"),
          m_database(m_desktop, m_directory.filePath("HGIndex.hgd")),
          m_filter(m_database, m_desktop, m_directory.filePath("MapProb.bin")) {
        const std::vector<std::string_view> spam = {"free",   "money",  "offer", "click",
                                                    "winner", "credit", "loan",  "urgent",
                                                    "cash",   "bonus",  "deal",  "price"};
        const std::vector<std::string_view> ham = {"meeting", "project", "patch",  "kernel",
                                                   "review",  "lunch",   "thanks", "build",
                                                   "release", "list",    "debian", "python"};
        TrainingCounts counts;
        std::uint32_t state = 12345;
        for (int message = 0; message < 60; ++message) {
            counts.trainText(trainingText(spam, state), MailClass::Bad);
            counts.trainText(trainingText(ham, state), MailClass::Good);
        }
        TokenProbabilityTable table(m_directory.filePath("MapProb.bin"));
        SilentProgress progress;
        counts.computeProbabilities(table, progress, 0, 0.0f);
        m_filter.load();
        FUZZ_CHECK(m_filter.tablePresent());
        m_filter.setEnabled(true, false);
    }

    BayesFilter& filter() { return m_filter; }

  private:
    FuzzDirectory m_directory;
    RecordingDesktop m_desktop;
    CDatabase m_database;
    BayesFilter m_filter;
};

RatingWorld* g_world = nullptr;

// A word is one to kMaxWordLength folded token bytes, starting with a letter.
void checkWord(std::string_view word) {
    FUZZ_CHECK(!word.empty() && word.size() <= kMaxWordLength);
    FUZZ_CHECK(tokenizer_detail::isAsciiLetter(static_cast<unsigned char>(word.front())));
    for (const char c : word) {
        const auto byte = static_cast<unsigned char>(c);
        FUZZ_CHECK(tokenizer_detail::kFoldTable[byte] == byte);
    }
}

using WindowIds = std::array<TokenId, 4>;

// What one walk over the windows finds: each window's identities as its
// phrase texts give them, and the rating that the texts' own lookups give.
struct TextWalk {
    std::vector<WindowIds> ids;
    double rating = 0.5;
};

// Consecutive windows slide by exactly one word, and the fast identities of a
// window equal those of its phrase texts.
TextWalk walkTexts(BayesFilter& filter, std::string_view text) {
    TextWalk walk;
    CandidateList candidates;
    std::string previousW2;
    std::string previousW3;
    tokenize(text, [&](const WordWindow& window) {
        checkWord(window.w1);
        checkWord(window.w2);
        checkWord(window.w3);
        if (!walk.ids.empty()) {
            FUZZ_CHECK(previousW2 == window.w1 && previousW3 == window.w2);
        }
        previousW2 = window.w2;
        previousW3 = window.w3;

        const PhraseTokens phrases(window);
        WindowIds ids{};
        std::array<float, 4> probabilities{};
        for (std::size_t i = 0; i < PhraseTokens::kCount; ++i) {
            const PhraseToken phrase = phrases[i];
            ids[i] = tokenId(phrase.text, static_cast<std::uint8_t>(phrase.order));
            probabilities[i] = filter.lookup(phrase.text);
        }
        FUZZ_CHECK(phraseTokenIds(window) == ids);
        walk.ids.push_back(ids);
        candidates.addWindow(probabilities);
    });
    candidates.finish();
    FUZZ_CHECK(candidates.entries().size() <= CandidateList::kKept);
    walk.rating = candidates.rating();
    return walk;
}

// The classifier's path: identities carried from window to window.
void checkIdentities(std::string_view text, const std::vector<WindowIds>& expected) {
    std::size_t next = 0;
    tokenizeToIds(text, [&](const WindowIds& ids) {
        FUZZ_CHECK(next < expected.size());
        FUZZ_CHECK(ids == expected[next]);
        ++next;
    });
    FUZZ_CHECK(next == expected.size());
}

void checkRating(BayesFilter& filter, std::string_view text, double ratingByTexts) {
    const BayesRating rating = filter.rateText(text);
    FUZZ_CHECK(std::isfinite(rating.rating));
    FUZZ_CHECK(rating.rating >= 0.0 && rating.rating <= 1.0);
    FUZZ_CHECK(rating.spam == (rating.rating >= BayesFilter::kSpamThreshold));
    if (text.empty() || text.front() == '\0') {
        FUZZ_CHECK(!rating.spam && rating.rating == 0.5);
    } else {
        FUZZ_CHECK(rating.rating == ratingByTexts);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static RatingWorld world;
    g_world = &world;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    BayesFilter& filter = g_world->filter();
    const TextWalk walk = walkTexts(filter, text);
    checkIdentities(text, walk.ids);
    checkRating(filter, text, walk.rating);
    return 0;
}
