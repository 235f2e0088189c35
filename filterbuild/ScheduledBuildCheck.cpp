#include "filterbuild/ScheduledBuildCheck.h"

#include "filterbuild/AutoFilterBuilder.h"
#include "filterbuild/ScheduleData.h"
#include "desktop/Desktop.h"
#include "platform/Event.h"
#include "platform/Semaphore.h"

namespace {

// Gives the semaphore back however the build ends.
class SemaphoreRelease {
  public:
    explicit SemaphoreRelease(platform::Semaphore& semaphore) : m_semaphore(semaphore) {}
    ~SemaphoreRelease() { m_semaphore.release(); }
    SemaphoreRelease(const SemaphoreRelease&) = delete;
    SemaphoreRelease& operator=(const SemaphoreRelease&) = delete;

  private:
    platform::Semaphore& m_semaphore;
};

// A view refresh after a build: parameter 0, unlike the one after a mail session.
constexpr int kRefreshAfterBuild = 0;

}  // namespace

ScheduledBuildCheck::ScheduledBuildCheck(ScheduleData& schedule, AutoFilterBuilder& builder,
                                         platform::Semaphore& buildSemaphore,
                                         platform::Event& refreshDoneEvent, Desktop& desktop,
                                         std::chrono::milliseconds semaphoreWait,
                                         std::chrono::milliseconds refreshWait)
    : m_schedule(schedule),
      m_builder(builder),
      m_buildSemaphore(buildSemaphore),
      m_refreshDoneEvent(refreshDoneEvent),
      m_desktop(desktop),
      m_semaphoreWait(semaphoreWait),
      m_refreshWait(refreshWait) {}

bool ScheduledBuildCheck::onListenerPass() {
    const std::unique_lock check(m_checkMutex, std::try_to_lock);
    if (!check.owns_lock()) {
        return false;
    }
    if (++m_passCount < kPassesPerCheck) {
        return false;
    }
    m_passCount = 0;

    bool requested = false;
    const bool due = m_schedule.isBuildDue(requested);
    if (!due && !requested) {
        m_served = false;
        return false;
    }
    if (!requested && m_served) {
        return false;
    }
    // A busy semaphore means a user command or the build panel is at work:
    // the build waits for a later pass, and a request stays pending.
    if (!m_buildSemaphore.tryAcquire(m_semaphoreWait)) {
        return false;
    }
    SemaphoreRelease release(m_buildSemaphore);
    m_schedule.setBuildNowPending(false);
    runBuild();
    m_served = true;
    return true;
}

void ScheduledBuildCheck::runBuild() {
    m_desktop.runBuilderDialog(m_builder);
    m_refreshDoneEvent.reset();
    m_desktop.postRefreshViews(kRefreshAfterBuild, m_refreshDoneEvent);
    // The views may never answer (the window thread busy or gone); the
    // proxy goes on after the wait all the same.
    if (!m_refreshDoneEvent.wait(m_refreshWait)) {
        m_refreshDoneEvent.set();
    }
}
