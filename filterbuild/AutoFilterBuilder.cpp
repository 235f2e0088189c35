#include "filterbuild/AutoFilterBuilder.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "filterbuild/ScheduleData.h"
#include "desktop/BuildReporter.h"
#include "desktop/Desktop.h"
#include "diag/Error.h"
#include "rating/BayesFilter.h"
#include "store/Database.h"
#include "store/EmailHeader.h"
#include "store/Folder.h"

namespace {

constexpr const char* kBuildingFilter = "Building Filter";
constexpr const char* kTestingEmails = "Testing Emails";
constexpr const char* kMovingEmails = "Moving Emails";
constexpr const char* kTestingGoodFolder = "Testing Good Folder";
constexpr const char* kTestingBadFolder = "Testing Bad Folder";
constexpr const char* kFinalFilterBuild = "Final Filter Build";
constexpr const char* kEvaluatingAccuracy = "Evaluating Filter's Accuracy";
constexpr const char* kBuildComplete = "Build Complete";
constexpr int kImprovementPasses = 3;

std::string passText(int pass, int passes) {
    char text[48];
    std::snprintf(text, sizeof text, "Pass %d of %d", pass, passes);
    return text;
}

struct Candidate {
    float rating;
    std::int32_t index;
};

struct FolderRole {
    bool good;
    int mostPicks;
};

FolderRole roleOf(Folder folder) {
    switch (folder) {
        case Folder::StoreGood:
            return {true, AutoFilterBuilder::kStorePickLimit};
        case Folder::StoreBad:
            return {false, AutoFilterBuilder::kStorePickLimit};
        case Folder::Good:
            return {true, AutoFilterBuilder::kTrainingPickLimit};
        case Folder::Bad:
            return {false, AutoFilterBuilder::kTrainingPickLimit};
        case Folder::New:
        case Folder::Trash:
            break;
    }
    throw std::invalid_argument("no test role for folder " + std::string(folderKey(folder)));
}

int countOf(CDatabase& database, Folder folder) {
    return database.emailCount(folderKey(folder));
}

}  // namespace

AutoFilterBuilder::AutoFilterBuilder(CDatabase& database, BayesFilter& filter,
                                     ScheduleData& schedule, Desktop& desktop)
    : m_database(database), m_filter(filter), m_schedule(schedule), m_desktop(desktop) {}

void AutoFilterBuilder::opened() {
    {
        std::lock_guard lock(m_errorMutex);
        m_lastError.reset();
    }
    m_builderStarted.store(false);
    m_cancelBuild.store(false);
    m_builderRunning.store(true);
}

void AutoFilterBuilder::run(BuildReporter& reporter) {
    // Cleared last and whatever happens, even should recording a failure fail,
    // so that whoever waits on running() finds everything else settled.
    struct ClearedOnExit {
        std::atomic<bool>& flag;
        ~ClearedOnExit() { flag.store(false); }
    } running{m_builderRunning};
    m_builderStarted.store(true);
    m_resultSet.store(false);
    try {
        reporter.setRange(1, 100);
        buildFilterPasses(reporter);
    } catch (const CError& error) {
        // Logged when it was raised; the build just ends here.
        recordFailure(error.what());
    } catch (const std::exception&) {
        recordFailure(CError("Catch All Error", "CAutoFilterBuilder::buildThread", __LINE__,
                             "AutoFilterBuilder")
                          .what());
    } catch (...) {
        recordFailure(CError("Catch All Error", "CAutoFilterBuilder::buildThread", __LINE__,
                             "AutoFilterBuilder")
                          .what());
    }
}

void AutoFilterBuilder::recordFailure(const std::string& text) {
    std::lock_guard lock(m_errorMutex);
    m_lastError = text;
}

std::optional<std::string> AutoFilterBuilder::lastError() const {
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

void AutoFilterBuilder::cancel() {
    m_cancelBuild.store(true);
}

bool AutoFilterBuilder::running() const {
    return m_builderRunning.load();
}

void AutoFilterBuilder::buildFilter(BuildReporter& reporter) {
    // The table build leaves the filter off; the user's switch is put back
    // quietly, as the status pane never showed it change.
    const bool wasOn = m_filter.isEnabled();
    m_filter.buildProbabilities(reporter);
    m_filter.setEnabled(wasOn, false);
}

void AutoFilterBuilder::buildFilterPasses(BuildReporter& reporter) {
    const int good = countOf(m_database, Folder::Good);
    const int bad = countOf(m_database, Folder::Bad);
    const int storeGood = countOf(m_database, Folder::StoreGood);
    const int storeBad = countOf(m_database, Folder::StoreBad);
    if (good + storeGood < kMinimumPerSide || bad + storeBad < kMinimumPerSide) {
        m_schedule.setResult(0.0f, -1);
        m_resultSet.store(true);
        m_schedule.saveCurrentSchedule();
        return;
    }

    for (int pass = 1; pass <= kImprovementPasses; ++pass) {
        reporter.setPassText(passText(pass, kPasses));
        reporter.setStageText(kBuildingFilter);
        buildFilter(reporter);
        m_goodCount = countOf(m_database, Folder::Good);
        m_badCount = countOf(m_database, Folder::Bad);
        if (m_cancelBuild.load()) {
            return;
        }
        // A full training folder takes no more picks; the filter just built stays.
        if (m_goodCount >= kFolderLimit || m_badCount >= kFolderLimit) {
            return;
        }

        reporter.setStageText(kTestingEmails);
        testStoreFolders(reporter);
        if (m_cancelBuild.load()) {
            return;
        }
        reporter.setPosition(0);
        if (m_goodPicks.empty() && m_badPicks.empty()) {
            break;  // nothing left to learn from the store folders
        }

        reporter.setStageText(kMovingEmails);
        moveCandidates(true);
        moveCandidates(false);
        if (m_cancelBuild.load()) {
            return;
        }
    }
    finalPass(reporter);
}

void AutoFilterBuilder::testStoreFolders(BuildReporter& reporter) {
    m_goodPicks.clear();
    m_badPicks.clear();
    reporter.setRange(
        1, countOf(m_database, Folder::StoreGood) + countOf(m_database, Folder::StoreBad));
    reporter.setPosition(0);
    int position = 0;
    testFolder(Folder::StoreGood, reporter, position);
    testFolder(Folder::StoreBad, reporter, position);
}

void AutoFilterBuilder::finalPass(BuildReporter& reporter) {
    reporter.setPassText(passText(kPasses, kPasses));
    reporter.setStageText(kBuildingFilter);
    buildFilter(reporter);
    m_goodCount = countOf(m_database, Folder::Good);
    m_badCount = countOf(m_database, Folder::Bad);
    if (m_cancelBuild.load()) {
        return;
    }
    if (!testTrainingFolder(Folder::Good, kTestingGoodFolder, m_goodCount, reporter) ||
        !testTrainingFolder(Folder::Bad, kTestingBadFolder, m_badCount, reporter)) {
        return;
    }
    reporter.setStageText(kFinalFilterBuild);
    buildFilter(reporter);
    reporter.setStageText(kEvaluatingAccuracy);
    evaluateAccuracy(reporter);
    reporter.setStageText(kBuildComplete);
}

bool AutoFilterBuilder::testTrainingFolder(Folder folder, std::string_view stage, int count,
                                           BuildReporter& reporter) {
    if (count <= kDuplicateLowCount || count >= kDuplicateHighCount) {
        return true;
    }
    reporter.setStageText(std::string(stage));
    reporter.setRange(1, count);
    (folder == Folder::Good ? m_goodPicks : m_badPicks).clear();
    int position = 0;
    testFolder(folder, reporter, position);
    duplicateCandidates(folder);
    return !m_cancelBuild.load();
}

int AutoFilterBuilder::testFolder(Folder folder, BuildReporter& reporter, int& position) {
    const FolderRole role = roleOf(folder);
    const int receivingCount = role.good ? m_goodCount : m_badCount;
    const int mostPicks = std::min(role.mostPicks, kFolderLimit - receivingCount);

    int errors = 0;
    std::vector<Candidate> candidates;
    EmailHeader header;
    std::string text;
    // Nothing moves mail while the build runs, but an email that has gone all
    // the same (a store cleaned under us) is simply not rated.
    for (const int index : m_database.emailIndexes(folderKey(folder))) {
        if (!m_database.getEmailHeader(index, folderKey(folder), header, text)) {
            continue;
        }
        const BayesRating verdict = m_filter.rateTextForTest(text);
        // Narrowed once, so the comparisons and the ordering see the same value.
        const float rating = static_cast<float>(verdict.rating);
        if (role.good) {
            errors += verdict.spam ? 1 : 0;
            if (rating > kGoodCandidateAbove) {
                candidates.push_back({rating, index});
            }
        } else {
            errors += verdict.spam ? 0 : 1;
            if (rating < kBadCandidateBelow) {
                candidates.push_back({rating, index});
            }
        }
        reporter.setPosition(++position);
    }

    // Highest rating first. The sort is stable, so equal ratings (0.5 for every
    // text the filter knows nothing of) stay in index order, oldest first: the
    // good picks among equals are the oldest, and the bad picks, read from the
    // tail, are the newest.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.rating > b.rating; });
    const std::size_t n =
        mostPicks <= 0 ? 0 : std::min(static_cast<std::size_t>(mostPicks), candidates.size());
    if (role.good) {
        for (std::size_t i = 0; i < n; ++i) {
            m_goodPicks.push_back(candidates[i].index);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            m_badPicks.push_back(candidates[candidates.size() - 1 - i].index);
        }
    }
    return errors;
}

void AutoFilterBuilder::moveCandidates(bool good) {
    if (good) {
        m_database.moveEmails(folderKey(Folder::StoreGood), folderKey(Folder::Good), m_goodPicks);
    } else {
        m_database.moveEmails(folderKey(Folder::StoreBad), folderKey(Folder::Bad), m_badPicks);
    }
    m_desktop.refreshFolderCounts();
}

void AutoFilterBuilder::duplicateCandidates(Folder folder) {
    const std::vector<std::int32_t>& picks = folder == Folder::Good ? m_goodPicks : m_badPicks;
    for (const std::int32_t index : picks) {
        int newIndex = -1;
        int delTime = 0;
        m_database.copyEmail(folderKey(folder), index, newIndex, delTime);
    }
}

void AutoFilterBuilder::evaluateAccuracy(BuildReporter& reporter) {
    m_goodPicks.clear();
    m_badPicks.clear();
    const int total = countOf(m_database, Folder::Good) + countOf(m_database, Folder::Bad) +
                      countOf(m_database, Folder::StoreGood) +
                      countOf(m_database, Folder::StoreBad);
    reporter.setRange(1, total);
    reporter.setPosition(0);
    int position = 0;
    int errors = 0;
    for (const Folder folder : {Folder::Good, Folder::Bad, Folder::StoreGood, Folder::StoreBad}) {
        errors += testFolder(folder, reporter, position);
        if (m_cancelBuild.load()) {
            return;
        }
    }
    if (total == 0) {
        return;
    }
    m_schedule.setResult(1.0f - static_cast<float>(errors) / static_cast<float>(total), total);
    m_resultSet.store(true);
    m_schedule.saveCurrentSchedule();
}
