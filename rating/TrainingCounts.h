#pragma once

#include <bit>
#include <string_view>

#include "desktop/BuildProgress.h"
#include "rating/TokenCountTable.h"
#include "rating/TokenProbabilityTable.h"

enum class MailClass { Bad, Good };

// The two halves of a table build: counting the phrase tokens of the training
// mail, then turning the counts into probabilities. Private to one build.
class TrainingCounts {
  public:
    // Bounds between which a first-pass probability is too near the middle to
    // keep. Both are single-precision constants that the double-precision p is
    // compared with: p = 0.8 exactly is below the upper one and p = 0.2 above
    // the lower one, so neither is kept.
    static constexpr double kUpperBound = std::bit_cast<float>(0x3F4CCCCDu);  // 0.8f
    static constexpr double kLowerBound = std::bit_cast<float>(0x3E4CCCCCu);  // just below 0.2f
    static constexpr float kLowest = 0.01f;
    static constexpr float kHighest = 0.99f;
    // Fewer occurrences than this, bad and good together, say nothing.
    static constexpr int kMinOccurrences = 4;

    // Counts one message text and each phrase token of each of its windows.
    void trainText(std::string_view text, MailClass mailClass);

    // Stores into `table` the probabilities the counts support, then saves it.
    // Progress goes to basePosition plus the steps taken, `step` per entry.
    void computeProbabilities(TokenProbabilityTable& table, BuildProgress& progress,
                              int basePosition, float step) const;

    // The weight of a token of the given order: 1/16, 1/4, 1.
    static double weight(int order);
    // The first pass's probability from the counts, in double precision.
    static double probability(int bad, int good, double badMessages, double goodMessages,
                              int order);
    // What a token seen only in good mail gets: the first pass's formula at a
    // spam share of 0, held within 0.01 to 0.99.
    static float goodOnlyProbability(int order);

    TokenCountTable& table(MailClass mailClass) {
        return mailClass == MailClass::Bad ? m_bad : m_good;
    }
    const TokenCountTable& bad() const { return m_bad; }
    const TokenCountTable& good() const { return m_good; }

  private:
    TokenCountTable m_bad;
    TokenCountTable m_good;
};
