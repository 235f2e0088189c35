#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "desktop/Desktop.h"
#include "platform/CriticalSection.h"
#include "desktop/BuildProgress.h"
#include "rating/TokenProbabilityTable.h"

class CDatabase;

// A classification's outcome, handed to the caller that asked for it: the
// shared last rating may already be another thread's by the time it is read.
struct BayesRating {
    bool spam;
    double rating;
};

// The process's Bayesian filter: the token probability table, its build from
// the two training folders, and the classifier. One filter lock guards the
// table and the enabled and table-present flags; the proxy, the window thread
// and the folder test all classify through it.
class BayesFilter {
  public:
    static constexpr double kSpamThreshold = 0.8f;  // 0.800000011920929
    static constexpr const char* kStatusOn = "BAYES ON";
    static constexpr const char* kStatusOff = "BAYES OFF";

    enum BuildResult : int { kBuilt = 0, kEmptyFolder = 1, kNothingRead = 2 };

    // Starts switched off with an empty table; load() reads MapProb.bin.
    BayesFilter(CDatabase& database, Desktop& desktop,
                std::string tableFile = TokenProbabilityTable::kDefaultFileName);
    BayesFilter(const BayesFilter&) = delete;
    BayesFilter& operator=(const BayesFilter&) = delete;

    // Builds a new table from Bad Emails and Good Emails and saves it. The filter has
    // no table, and is off, from the start of the build until it ends with a
    // table; switching it on again is the caller's business. Store errors
    // (CError) pass through to the caller.
    int buildProbabilities(BuildProgress& progress);

    // Drops the in-memory table and switches the filter off; the file stays.
    void resetTable();
    // Reads MapProb.bin in place of the in-memory table; a missing or short
    // file leaves it empty. The enabled flag is left as it is.
    void load();

    BayesRating rateText(std::string_view text);
    // Rates as if the filter were on, whatever the switch says. The switch is
    // flipped and put back under the filter lock, so no other classification
    // ever sees it flipped.
    BayesRating rateTextForTest(std::string_view text);

    // The status pane shows the new state when updateStatus is true.
    void setEnabled(bool on, bool updateStatus);
    bool isEnabled() const;
    bool tablePresent() const;
    std::uint32_t entryCount() const;
    // The token's probability in the table, 0.5 when it has none.
    float lookup(std::string_view tokenText) const;

    // The last rating made by any thread: 0 before the first classification.
    double lastRating() const { return m_lastRating.load(std::memory_order_relaxed); }
    // The last rating as "%f" shows it, e.g. "0.500000".
    std::string ratingText() const;

  private:
    BayesRating classify(std::string_view text);

    CDatabase& m_database;
    Desktop& m_desktop;
    mutable platform::CriticalSection m_filterLock;
    TokenProbabilityTable m_table;
    bool m_enabled = false;
    bool m_tablePresent = false;
    std::atomic<double> m_lastRating{0.0};
};
