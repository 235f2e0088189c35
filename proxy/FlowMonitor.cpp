#include "proxy/FlowMonitor.h"

#include <cstdio>
#include <string>

namespace {
// The window starts with credit, so a session is never judged before its
// first relay phase has restarted the count.
constexpr std::int32_t kStartCredit = 5000;
}  // namespace

FlowMonitor::FlowMonitor(ProxyState& state, std::chrono::milliseconds tick, int windowTicks)
    : m_state(state), m_tick(tick), m_windowTicks(windowTicks < 1 ? 1 : windowTicks) {}

FlowMonitor::~FlowMonitor() {
    stop();
}

void FlowMonitor::start() {
    stop();
    m_state.flowBytes = kStartCredit;
    m_state.flowTicks = 0;
    m_state.flowActive = false;
    m_state.flowStop = false;
    {
        std::lock_guard lock(m_mutex);
        m_stopRequested = false;
    }
    m_thread = std::thread([this] { run(); });
}

void FlowMonitor::stop() {
    m_state.flowStop = true;
    {
        std::lock_guard lock(m_mutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void FlowMonitor::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_wake.wait_for(lock, m_tick, [this] { return m_stopRequested; })) {
            return;
        }
        if (m_state.flowStop) {
            return;
        }
        if (!m_state.flowActive) {
            continue;
        }
        const std::int32_t ticks = ++m_state.flowTicks;
        if (ticks < m_windowTicks) {
            continue;
        }
        const double seconds =
            static_cast<double>(ticks) * static_cast<double>(m_tick.count()) / 1000.0;
        const double rate = static_cast<double>(m_state.flowBytes.load()) / seconds;
        m_state.flowBytes = 0;
        m_state.flowTicks = 0;
        if (rate <= kThreshold) {
            char rateText[64];
            std::snprintf(rateText, sizeof rateText, "%f", rate);
            m_state.setShutReason(std::string("ShutFlag set, flow rate is ") + rateText +
                                  ", below the threshold. ");
            // flowStop first: the relay tells a monitor stop by it once it sees shutFlag.
            m_state.flowStop = true;
            m_state.shutFlag = true;
            return;
        }
    }
}
