#pragma once

#include <chrono>

#include "platform/Semaphore.h"

// Holds the operation semaphore for one user command. User commands wait 1 ms
// at most and, when a build or another command holds it, do nothing at all.
class OperationGuard {
  public:
    explicit OperationGuard(platform::Semaphore& semaphore,
                            std::chrono::milliseconds wait = std::chrono::milliseconds(1))
        : m_semaphore(semaphore), m_held(semaphore.tryAcquire(wait)) {}
    ~OperationGuard() {
        if (m_held) {
            m_semaphore.release();
        }
    }
    OperationGuard(const OperationGuard&) = delete;
    OperationGuard& operator=(const OperationGuard&) = delete;

    explicit operator bool() const { return m_held; }

  private:
    platform::Semaphore& m_semaphore;
    const bool m_held;
};
