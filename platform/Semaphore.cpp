#include "platform/Semaphore.h"

namespace platform {

Semaphore::Semaphore(int initialCount, int maximumCount)
    : m_maximum(maximumCount), m_count(initialCount) {}

bool Semaphore::tryAcquire(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    if (!m_released.wait_for(lock, timeout, [this] { return m_count > 0; })) {
        return false;
    }
    --m_count;
    return true;
}

bool Semaphore::release() {
    {
        std::lock_guard lock(m_mutex);
        if (m_count >= m_maximum) {
            return false;
        }
        ++m_count;
    }
    m_released.notify_one();
    return true;
}

int Semaphore::count() const {
    std::lock_guard lock(m_mutex);
    return m_count;
}

}  // namespace platform
