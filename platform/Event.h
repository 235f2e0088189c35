#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

// A signalled/unsignalled flag that threads wait on. An auto-reset event lets one
// waiter through per set(); a manual-reset event stays set until reset().
class Event {
  public:
    enum class Reset { Automatic, Manual };

    explicit Event(Reset mode = Reset::Automatic, bool initiallySet = false);

    void set();
    void reset();
    bool isSet() const;

    // Waits until the event is set or the time runs out; true when it was set.
    bool wait(std::chrono::milliseconds timeout);
    void wait();

  private:
    const Reset m_mode;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_set;
};

}  // namespace platform
