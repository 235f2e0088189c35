#include "rating/BayesFilter.h"

#include <cstdio>
#include <utility>

#include "rating/CandidateList.h"
#include "rating/TokenHash.h"
#include "rating/TrainingCounts.h"
#include "store/Database.h"
#include "store/Folder.h"
#include "store/StoreLayout.h"

BayesFilter::BayesFilter(CDatabase& database, Desktop& desktop, std::string tableFile)
    : m_database(database), m_desktop(desktop), m_table(std::move(tableFile)) {}

void BayesFilter::resetTable() {
    platform::CriticalSectionGuard lock(m_filterLock);
    m_tablePresent = false;
    m_enabled = false;
    m_table.clear();
}

void BayesFilter::load() {
    platform::CriticalSectionGuard lock(m_filterLock);
    m_table.load();
    m_tablePresent = m_table.entryCount() > 0;
}

int BayesFilter::buildProbabilities(BuildProgress& progress) {
    resetTable();
    int badCount = 0;
    int goodCount = 0;
    m_database.getEmailCount(folderKey(Folder::Bad), badCount);
    m_database.getEmailCount(folderKey(Folder::Good), goodCount);
    progress.setRange(1, 4 * (badCount + goodCount));
    int position = 0;
    if (badCount < 1 || goodCount < 1) {
        return kEmptyFolder;
    }

    // Reading and counting need no filter lock: the counts are this build's
    // own, and classifications meanwhile find no table and rate nothing.
    TrainingCounts counts;
    bool anyRead = false;
    std::string text;
    text.reserve(store_layout::kMaxValidTextLength + 1);
    for (const auto& [folder, mailClass] :
         {std::pair{Folder::Bad, MailClass::Bad}, std::pair{Folder::Good, MailClass::Good}}) {
        int next = 0;
        while (m_database.getNextEmailText(next, folderKey(folder), text)) {
            anyRead = true;
            position += 2;
            progress.setPosition(position);
            counts.trainText(text, mailClass);
        }
    }
    if (!anyRead) {
        progress.setPosition(position);
        return kNothingRead;
    }

    const int half = position / 2;
    {
        platform::CriticalSectionGuard lock(m_filterLock);
        const std::size_t entries = counts.bad().entryCount() + counts.good().entryCount();
        // With no entries at all the step is never taken.
        const float step =
            entries == 0 ? 0.0f : static_cast<float>(half) / static_cast<float>(entries);
        counts.computeProbabilities(m_table, progress, position, step);
        m_tablePresent = m_table.entryCount() > 0;
    }
    progress.setPosition(2 * half);
    return kBuilt;
}

BayesRating BayesFilter::rateText(std::string_view text) {
    return classify(text);
}

namespace {

// Sets a flag for the length of a scope. The put-back is in the destructor so
// that a classification that throws (out of memory while tokenizing) cannot
// leave the filter switched on for everyone.
class TemporaryFlag {
  public:
    TemporaryFlag(bool& flag, bool value) : m_flag(flag), m_saved(flag) { m_flag = value; }
    TemporaryFlag(const TemporaryFlag&) = delete;
    TemporaryFlag& operator=(const TemporaryFlag&) = delete;
    ~TemporaryFlag() { m_flag = m_saved; }

  private:
    bool& m_flag;
    const bool m_saved;
};

}  // namespace

BayesRating BayesFilter::rateTextForTest(std::string_view text) {
    platform::CriticalSectionGuard lock(m_filterLock);
    // After the lock guard, so the flag is put back before the lock goes.
    const TemporaryFlag enabled(m_enabled, true);
    return classify(text);
}

BayesRating BayesFilter::classify(std::string_view text) {
    CandidateList candidates;
    {
        platform::CriticalSectionGuard lock(m_filterLock);
        m_lastRating.store(0.5, std::memory_order_relaxed);
        if (!m_tablePresent || !m_enabled || text.empty() || text.front() == '\0') {
            return {false, 0.5};
        }
        tokenizeToIds(text, [this, &candidates](const std::array<TokenId, 4>& ids) {
            candidates.addWindow({m_table.lookup(ids[0].key, ids[0].check),
                                  m_table.lookup(ids[1].key, ids[1].check),
                                  m_table.lookup(ids[2].key, ids[2].check),
                                  m_table.lookup(ids[3].key, ids[3].check)});
        });
        candidates.finish();
    }
    const double rating = candidates.rating();
    if (!candidates.empty()) {
        m_lastRating.store(rating, std::memory_order_relaxed);
    }
    return {rating >= kSpamThreshold, rating};
}

void BayesFilter::setEnabled(bool on, bool updateStatus) {
    {
        platform::CriticalSectionGuard lock(m_filterLock);
        m_enabled = on;
    }
    // Outside the lock: the desktop may wait for the window thread, which may
    // itself be waiting to classify.
    if (updateStatus) {
        m_desktop.setStatusText(StatusPane::Bayes, on ? kStatusOn : kStatusOff);
    }
}

bool BayesFilter::isEnabled() const {
    platform::CriticalSectionGuard lock(m_filterLock);
    return m_enabled;
}

bool BayesFilter::tablePresent() const {
    platform::CriticalSectionGuard lock(m_filterLock);
    return m_tablePresent;
}

std::uint32_t BayesFilter::entryCount() const {
    platform::CriticalSectionGuard lock(m_filterLock);
    return m_table.entryCount();
}

float BayesFilter::lookup(std::string_view tokenText) const {
    platform::CriticalSectionGuard lock(m_filterLock);
    return m_table.lookup(tokenText);
}

std::string BayesFilter::ratingText() const {
    char text[64];
    std::snprintf(text, sizeof text, "%f", lastRating());
    return text;
}
