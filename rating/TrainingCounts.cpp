#include "rating/TrainingCounts.h"

#include <algorithm>

#include "rating/TokenHash.h"

void TrainingCounts::trainText(std::string_view text, MailClass mailClass) {
    TokenCountTable& counts = table(mailClass);
    counts.addMessage();
    tokenizeToIds(text, [&counts](const std::array<TokenId, 4>& tokens) {
        for (const TokenId& token : tokens) {
            counts.add(token);
        }
    });
}

double TrainingCounts::weight(int order) {
    switch (order) {
        case 1:
            return 1.0 / 16;
        case 2:
            return 1.0 / 4;
        default:
            return 1.0;
    }
}

double TrainingCounts::probability(int bad, int good, double badMessages, double goodMessages,
                                   int order) {
    const double badShare = bad / badMessages;
    const double spamShare = badShare / (badShare + good / goodMessages);
    return 0.5 + weight(order) * (spamShare - 0.5);
}

float TrainingCounts::goodOnlyProbability(int order) {
    return static_cast<float>(
        std::clamp(0.5 - weight(order) / 2, double{kLowest}, double{kHighest}));
}

namespace {

// Reports after every 21 entries, so a table of 100,000 entries does not send
// 100,000 messages to a progress bar.
class ComputeProgress {
  public:
    ComputeProgress(BuildProgress& progress, int base, float step)
        : m_progress(progress), m_base(base), m_step(step) {}

    void entryVisited() {
        m_done += m_step;
        if (++m_sinceReport > 20) {
            m_progress.setPosition(m_base + static_cast<int>(m_done));
            m_sinceReport = 0;
        }
    }

  private:
    BuildProgress& m_progress;
    const int m_base;
    const float m_step;
    float m_done = 0;
    int m_sinceReport = 0;
};

}  // namespace

void TrainingCounts::computeProbabilities(TokenProbabilityTable& table, BuildProgress& progress,
                                          int basePosition, float step) const {
    const double badMessages = m_bad.messages() == 0 ? 1.0 : static_cast<double>(m_bad.messages());
    const double goodMessages =
        m_good.messages() == 0 ? 1.0 : static_cast<double>(m_good.messages());
    ComputeProgress report(progress, basePosition, step);

    m_bad.forEach([&](const TokenCountTable::Entry& entry) {
        const int bad = entry.count;
        const int good = m_good.count(entry.key, entry.check);
        if (bad + good >= kMinOccurrences) {
            const double p = probability(bad, good, badMessages, goodMessages, entry.order);
            // Compared in double with the single-precision bounds; only the
            // kept value is narrowed to the table's float.
            if (p >= kUpperBound || p <= kLowerBound) {
                table.store(entry.key, entry.check,
                            static_cast<float>(std::clamp(p, double{kLowest}, double{kHighest})));
            }
        }
        report.entryVisited();
    });

    m_good.forEach([&](const TokenCountTable::Entry& entry) {
        if (entry.count >= kMinOccurrences && !m_bad.find(entry.key, entry.check)) {
            table.store(entry.key, entry.check, goodOnlyProbability(entry.order));
        }
        report.entryVisited();
    });

    table.save();
}
