// The proxy's scheduled-build check: every tenth pass, one build per due
// period, requested builds, a busy operation semaphore, and the view refresh
// that follows a build.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "BuildTestSupport.h"
#include "filterbuild/ScheduledBuildCheck.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "store/Folder.h"

namespace {

using namespace std::chrono_literals;

constexpr int kMonday = 1;

// Notes what the check holds while the builder's dialog runs.
class WatchingDesktop : public RecordingDesktop {
  public:
    WatchingDesktop(platform::Semaphore& semaphore, ScheduleData& schedule)
        : m_semaphore(semaphore), m_schedule(schedule) {}
    void runBuilderDialog(BuilderJob& job) override {
        semaphoreCountDuringBuild = m_semaphore.count();
        pendingDuringBuild = m_schedule.buildNowPending();
        RecordingDesktop::runBuilderDialog(job);
    }
    int semaphoreCountDuringBuild = -1;
    bool pendingDuringBuild = true;

  private:
    platform::Semaphore& m_semaphore;
    ScheduleData& m_schedule;
};

class ScheduledBuildCheckTest : public BuildFixture {
  protected:
    void TearDown() override { platform::setFixedTime(std::nullopt); }

    // Runs `passes` listener passes; returns how many of them ran a build.
    int passes(int count) {
        int builds = 0;
        for (int i = 0; i < count; ++i) {
            builds += m_check.onListenerPass() ? 1 : 0;
        }
        return builds;
    }
    int dialogs() {
        const std::vector<std::string> calls = m_watching.calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), "runBuilderDialog"));
    }
    void scheduleMondayQuarterPastThreePm() {
        ScheduleBytes bytes;
        bytes.days[0] = 1;
        bytes.hour = 3;
        bytes.minute = 15;
        bytes.pm = 1;
        ASSERT_TRUE(schedule().saveSchedule(bytes));
    }

    platform::Semaphore m_semaphore{1, 1};
    platform::Event m_refreshDone{platform::Event::Reset::Automatic};
    WatchingDesktop m_watching{m_semaphore, schedule()};
    AutoFilterBuilder m_watchedBuilder{db(), filter(), schedule(), m_watching};
    ScheduledBuildCheck m_check{
        schedule(), m_watchedBuilder, m_semaphore, m_refreshDone, m_watching, 5ms, 5000ms};
};

}  // namespace

TEST_F(ScheduledBuildCheckTest, TheScheduleIsAskedEveryTenthPassOnly) {
    schedule().setBuildNowPending(true);
    EXPECT_EQ(passes(9), 0);
    EXPECT_TRUE(schedule().buildNowPending());
    EXPECT_TRUE(m_check.onListenerPass());
    EXPECT_EQ(dialogs(), 1);

    schedule().setBuildNowPending(true);
    EXPECT_EQ(passes(9), 0);
    EXPECT_TRUE(m_check.onListenerPass());
    EXPECT_EQ(dialogs(), 2);
}

TEST_F(ScheduledBuildCheckTest, ARequestedBuildRunsOnceAndClearsTheRequest) {
    pinLocalTime(kMonday, 8, 0);
    schedule().setBuildNowPending(true);
    EXPECT_EQ(passes(10), 1);
    EXPECT_FALSE(schedule().buildNowPending());
    EXPECT_FALSE(m_watching.pendingDuringBuild) << "cleared when the build starts";
    EXPECT_EQ(passes(50), 0);
    EXPECT_EQ(dialogs(), 1);
}

TEST_F(ScheduledBuildCheckTest, OneDuePeriodGivesOneBuild) {
    scheduleMondayQuarterPastThreePm();
    pinLocalTime(kMonday, 15, 15);
    EXPECT_EQ(passes(10), 1);
    for (int minute = 16; minute <= 20; ++minute) {
        pinLocalTime(kMonday, 15, minute);
        EXPECT_EQ(passes(10), 0) << minute;
    }
    // A request still builds while the period is served.
    schedule().setBuildNowPending(true);
    EXPECT_EQ(passes(10), 1);
    pinLocalTime(kMonday, 15, 20);
    EXPECT_EQ(passes(10), 0);

    // The first check outside the period clears the mark; the next week builds.
    pinLocalTime(kMonday, 15, 21);
    EXPECT_EQ(passes(10), 0);
    pinLocalTime(kMonday + 7, 15, 18);
    EXPECT_EQ(passes(10), 1);
    EXPECT_EQ(dialogs(), 3);
}

TEST_F(ScheduledBuildCheckTest, ABusySemaphoreDefersTheBuild) {
    scheduleMondayQuarterPastThreePm();
    pinLocalTime(kMonday, 15, 15);
    schedule().setBuildNowPending(true);
    ASSERT_TRUE(m_semaphore.tryAcquire(0ms));
    EXPECT_EQ(passes(10), 0);
    EXPECT_EQ(dialogs(), 0);
    EXPECT_TRUE(schedule().buildNowPending()) << "the request stays pending";
    EXPECT_EQ(m_semaphore.count(), 0);

    ASSERT_TRUE(m_semaphore.release());
    EXPECT_EQ(passes(10), 1);
    EXPECT_FALSE(schedule().buildNowPending());

    // A due time that found the semaphore busy is not served yet.
    pinLocalTime(kMonday, 15, 30);
    EXPECT_EQ(passes(10), 0);
    ASSERT_TRUE(m_semaphore.tryAcquire(0ms));
    pinLocalTime(kMonday + 7, 15, 15);
    EXPECT_EQ(passes(10), 0);
    ASSERT_TRUE(m_semaphore.release());
    pinLocalTime(kMonday + 7, 15, 16);
    EXPECT_EQ(passes(10), 1);
}

TEST_F(ScheduledBuildCheckTest, TheBuildHoldsTheSemaphoreAndThenRefreshesTheViews) {
    storeTexts(folderKey(Folder::Good), texts(hamText, 0, 20));
    storeTexts(folderKey(Folder::Bad), texts(spamText, 0, 20));
    schedule().setBuildNowPending(true);
    EXPECT_EQ(passes(10), 1);
    EXPECT_EQ(m_watching.semaphoreCountDuringBuild, 0);
    EXPECT_EQ(m_semaphore.count(), 1);
    const std::vector<std::string> calls = m_watching.calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front(), "runBuilderDialog");
    EXPECT_EQ(calls[calls.size() - 2], "stage Build Complete");
    EXPECT_EQ(calls.back(), "refreshViews 0");
    EXPECT_EQ(schedule().lastEmailCount(), 40);
}

TEST_F(ScheduledBuildCheckTest, UnansweredRefreshIsWaitedForOnlySoLong) {
    platform::Semaphore semaphore(1, 1);
    platform::Event refreshDone(platform::Event::Reset::Automatic, true);
    desktop().holdRefreshes(true);
    ScheduledBuildCheck check(schedule(), builder(), semaphore, refreshDone, desktop(), 5ms, 20ms);
    schedule().setBuildNowPending(true);
    for (int i = 0; i < 9; ++i) {
        ASSERT_FALSE(check.onListenerPass());
    }
    EXPECT_TRUE(check.onListenerPass());
    EXPECT_EQ(desktop().calls().back(), "refreshViews 0");
    // Reset before the post, so the old signal was not taken for an answer;
    // set after the wait ran out, as the views would have.
    EXPECT_TRUE(refreshDone.isSet());
    EXPECT_EQ(semaphore.count(), 1);
}
