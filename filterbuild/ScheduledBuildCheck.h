#pragma once

#include <chrono>
#include <mutex>

class AutoFilterBuilder;
class Desktop;
class ScheduleData;
namespace platform {
class Event;
class Semaphore;
}  // namespace platform

// The proxy's check for a scheduled or requested filter build, made once per
// idle listener pass on every account's server thread. The schedule is only
// consulted every tenth pass; a build runs the builder's dialog modally on the
// calling thread while holding the operation semaphore, so no guarded user
// command and no client of that account runs beside it (the other accounts'
// sessions go on: the filter and the store keep them apart).
class ScheduledBuildCheck {
  public:
    static constexpr int kPassesPerCheck = 10;

    // The waits are parameters so that tests can shorten them.
    ScheduledBuildCheck(ScheduleData& schedule, AutoFilterBuilder& builder,
                        platform::Semaphore& buildSemaphore, platform::Event& refreshDoneEvent,
                        Desktop& desktop,
                        std::chrono::milliseconds semaphoreWait = std::chrono::milliseconds(1000),
                        std::chrono::milliseconds refreshWait = std::chrono::milliseconds(10000));
    ScheduledBuildCheck(const ScheduledBuildCheck&) = delete;
    ScheduledBuildCheck& operator=(const ScheduledBuildCheck&) = delete;

    // True when a build ran in this call.
    bool onListenerPass();

  private:
    void runBuild();

    ScheduleData& m_schedule;
    AutoFilterBuilder& m_builder;
    platform::Semaphore& m_buildSemaphore;
    platform::Event& m_refreshDoneEvent;
    Desktop& m_desktop;
    const std::chrono::milliseconds m_semaphoreWait;
    const std::chrono::milliseconds m_refreshWait;

    // Held by the one server thread that checks (and maybe builds); the
    // others pass by rather than wait, so their listeners never stall
    // behind a build.
    std::mutex m_checkMutex;
    // Guarded by m_checkMutex.
    int m_passCount = 0;
    // Set after a build, cleared by the first check that finds nothing due,
    // so that one due period (six minutes) gives one build.
    bool m_served = false;
};
