#include "platform/Event.h"

namespace platform {

Event::Event(Reset mode, bool initiallySet) : m_mode(mode), m_set(initiallySet) {}

void Event::set() {
    {
        std::lock_guard lock(m_mutex);
        m_set = true;
    }
    if (m_mode == Reset::Manual) {
        m_changed.notify_all();
    } else {
        m_changed.notify_one();
    }
}

void Event::reset() {
    std::lock_guard lock(m_mutex);
    m_set = false;
}

bool Event::isSet() const {
    std::lock_guard lock(m_mutex);
    return m_set;
}

bool Event::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [this] { return m_set; })) {
        return false;
    }
    if (m_mode == Reset::Automatic) {
        m_set = false;
    }
    return true;
}

void Event::wait() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_set; });
    if (m_mode == Reset::Automatic) {
        m_set = false;
    }
}

}  // namespace platform
