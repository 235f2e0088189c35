#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "proxy/ProxyState.h"

// Watches one session's traffic and stops a session that has stalled: when the
// bytes counted over a window of active ticks (60 s by default) come to 25 or
// fewer per second, it sets shutFlag, with the rate in shutReason.
class FlowMonitor {
  public:
    static constexpr double kThreshold = 25.0;

    FlowMonitor(ProxyState& state, std::chrono::milliseconds tick, int windowTicks);
    ~FlowMonitor();
    FlowMonitor(const FlowMonitor&) = delete;
    FlowMonitor& operator=(const FlowMonitor&) = delete;

    // Resets the counters and starts the monitor thread (stopping one that runs).
    void start();
    // Sets flowStop and ends the thread. The thread sleeps on a condition the
    // stop wakes, so the join returns at once rather than after a tick.
    void stop();

  private:
    void run();

    ProxyState& m_state;
    const std::chrono::milliseconds m_tick;
    const int m_windowTicks;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopRequested = false;
    std::thread m_thread;
};
