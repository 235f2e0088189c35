#include "proxy/SessionGate.h"

bool SessionGate::beginSession(const std::atomic<bool>& stop, std::chrono::milliseconds poll) {
    std::unique_lock lock(m_mutex);
    // The wait is in slices so that a stop is seen while a long move runs;
    // without it, exit would hang here.
    while (m_mailMove) {
        if (stop) {
            return false;
        }
        m_moveEnded.wait_for(lock, poll);
    }
    if (stop) {
        return false;
    }
    ++m_sessions;
    return true;
}

void SessionGate::endSession() {
    std::lock_guard lock(m_mutex);
    --m_sessions;
}

void SessionGate::beginRefresh() {
    std::lock_guard lock(m_mutex);
    ++m_refreshes;
}

void SessionGate::endRefresh() {
    std::lock_guard lock(m_mutex);
    --m_refreshes;
}

bool SessionGate::tryClaimMailMove() {
    std::lock_guard lock(m_mutex);
    if (m_sessions > 0 || m_refreshes > 0 || m_mailMove) {
        return false;
    }
    m_mailMove = true;
    return true;
}

void SessionGate::releaseMailMove() {
    {
        std::lock_guard lock(m_mutex);
        m_mailMove = false;
    }
    m_moveEnded.notify_all();
}

bool SessionGate::anySessionActive() const {
    return activeSessions() > 0;
}

int SessionGate::activeSessions() const {
    std::lock_guard lock(m_mutex);
    return m_sessions;
}
