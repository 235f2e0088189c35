#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

// A counting semaphore with a timed try, as the operation semaphore needs:
// user commands try for 1 ms and give up, the scheduled build waits a second.
class Semaphore {
  public:
    Semaphore(int initialCount, int maximumCount);

    bool tryAcquire(std::chrono::milliseconds timeout);
    // Returns false when the count is already at its maximum.
    bool release();
    int count() const;

  private:
    const int m_maximum;
    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    int m_count;
};

}  // namespace platform
