#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// What the sessions of every account share with the window's mail moves. A
// move owns the store against the proxy: none starts while any session
// downloads or waits for its refresh, and no session starts while a move
// runs. Sessions of different accounts run side by side.
class SessionGate {
  public:
    // Waits while a mail move runs, then counts the session in. False (and not
    // counted) when `stop` rose first; it is looked at every `poll`.
    bool beginSession(const std::atomic<bool>& stop, std::chrono::milliseconds poll);
    void endSession();
    // A session's refresh of the views is pending from begin to end.
    void beginRefresh();
    void endRefresh();

    // For a mail move: true (and the move is counted) when no session runs and
    // no refresh is pending.
    bool tryClaimMailMove();
    void releaseMailMove();

    bool anySessionActive() const;
    int activeSessions() const;

    // Set at every RETR of any account; the tray animation reads and clears it.
    std::atomic<bool> newMailArrived{false};

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_moveEnded;
    int m_sessions = 0;
    int m_refreshes = 0;
    bool m_mailMove = false;
};
