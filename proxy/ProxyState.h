#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// The flags and counters that one account's server thread shares with the user
// interface and the flow-rate monitor. Each is written by one side and polled
// by the other; atomics keep those polls free of data races. What the
// accounts share is the SessionGate's.
struct ProxyState {
    // The proxy must stop; also tells the user interface it has stopped.
    std::atomic<bool> shutFlag{false};
    // The user interface is closing or restarting the proxy: no automatic restart.
    std::atomic<bool> appClosing{false};
    std::atomic<bool> sessionActive{false};

    // Flow-rate monitor.
    // 64 bits: a fast transfer over a whole window must not wrap the count.
    std::atomic<std::int64_t> flowBytes{0};
    std::atomic<std::int32_t> flowTicks{0};
    std::atomic<bool> flowActive{false};
    std::atomic<bool> flowStop{false};

    // The monitor's message when it stops a session.
    void setShutReason(std::string reason) {
        std::lock_guard lock(m_reasonMutex);
        m_shutReason = std::move(reason);
    }
    std::string shutReason() const {
        std::lock_guard lock(m_reasonMutex);
        return m_shutReason;
    }

  private:
    mutable std::mutex m_reasonMutex;
    std::string m_shutReason;
};
