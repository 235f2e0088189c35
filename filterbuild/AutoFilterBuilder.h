#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/BuilderJob.h"
#include "store/Folder.h"

class BayesFilter;
class BuildReporter;
class CDatabase;
class Desktop;
class ScheduleData;

// The multi-pass filter build: trains on Good Emails and Bad Emails, tests
// itself on Store Good and Store Bad, moves what it gets wrong or nearly wrong
// into the training folders, and measures the final filter's accuracy.
//
// One object per process. The builder's dialog calls opened() on its own
// thread and run() on the build thread; cancel() and running() may come from
// either. The picks and counts belong to the build thread while run() is under
// way. Store operations are serialised by the store itself; mail moves from
// the views are kept out by the operation semaphore that the caller holds.
class AutoFilterBuilder : public BuilderJob {
  public:
    static constexpr int kMinimumPerSide = 10;
    static constexpr int kPasses = 4;  // three improvement passes and the final one
    static constexpr int kStorePickLimit = 5;
    static constexpr int kTrainingPickLimit = 2;
    // The final pass tests a training folder only when its count lies strictly
    // between these: too few to spare doubles, or too near the folder limit.
    static constexpr int kDuplicateLowCount = 50;
    static constexpr int kDuplicateHighCount = 595;
    // Single precision, compared strictly: a good email rated above, or a bad
    // one rated below, is a candidate for a pick.
    static constexpr float kGoodCandidateAbove = 0.4f;
    static constexpr float kBadCandidateBelow = 0.9f;

    AutoFilterBuilder(CDatabase& database, BayesFilter& filter, ScheduleData& schedule,
                      Desktop& desktop);
    AutoFilterBuilder(const AutoFilterBuilder&) = delete;
    AutoFilterBuilder& operator=(const AutoFilterBuilder&) = delete;

    void opened() override;
    // The build thread's body. Ends however the build ends: a store error
    // (already logged when it was raised) or any other failure (logged here as
    // "Catch All Error") stops the build, and builderRunning is cleared last.
    void run(BuildReporter& reporter) override;
    void cancel() override;
    bool running() const override;

    // The whole build. Store errors (CError) pass through.
    void buildFilterPasses(BuildReporter& reporter);
    // Rates every email of the folder with the filter forced on, counts the
    // misjudged ones and appends this folder's picks; `position` is the
    // progress counter shared by the folders of one stage. Only the two
    // training and the two store folders can be tested (std::invalid_argument).
    int testFolder(Folder folder, BuildReporter& reporter, int& position);
    // goodPicks from Store Good to Good Emails (good) or badPicks from Store
    // Bad to Bad Emails (not good); the folder list then refreshes its counts.
    void moveCandidates(bool good);
    // A second copy, in Good Emails or Bad Emails, of each email of goodPicks
    // or badPicks.
    void duplicateCandidates(Folder folder);
    // Tests all four folders and stores the share rated right with the schedule.
    void evaluateAccuracy(BuildReporter& reporter);

    const std::vector<std::int32_t>& goodPicks() const { return m_goodPicks; }
    const std::vector<std::int32_t>& badPicks() const { return m_badPicks; }
    bool builderRunning() const { return m_builderRunning.load(); }
    bool builderStarted() const { return m_builderStarted.load(); }
    bool cancelBuild() const { return m_cancelBuild.load(); }
    // Whether the last build set a result (an accuracy, or "too few emails");
    // a build that stopped early, say at a full training folder, did not.
    bool resultSet() const { return m_resultSet.load(); }
    // The log text of the failure that stopped the last build, if one did;
    // cleared when the dialog opens.
    std::optional<std::string> lastError() const;

  private:
    void recordFailure(const std::string& text);
    void buildFilter(BuildReporter& reporter);
    void testStoreFolders(BuildReporter& reporter);
    // False when the build stopped at a checkpoint on the way.
    bool testTrainingFolder(Folder folder, std::string_view stage, int count,
                            BuildReporter& reporter);
    void finalPass(BuildReporter& reporter);

    CDatabase& m_database;
    BayesFilter& m_filter;
    ScheduleData& m_schedule;
    Desktop& m_desktop;

    std::vector<std::int32_t> m_goodPicks;
    std::vector<std::int32_t> m_badPicks;
    int m_goodCount = 0;
    int m_badCount = 0;

    std::atomic<bool> m_builderRunning{false};
    std::atomic<bool> m_builderStarted{false};
    std::atomic<bool> m_cancelBuild{false};
    std::atomic<bool> m_resultSet{false};

    mutable std::mutex m_errorMutex;
    std::optional<std::string> m_lastError;  // guarded by m_errorMutex
};
