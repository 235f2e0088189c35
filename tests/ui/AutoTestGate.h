#pragma once

#include <future>

#include "ui/HeadersView.h"

// Holds the header list's folder test before each email until opened. It opens
// when it goes, so a failing test never leaves the test thread waiting: declare
// it after the panes.
class AutoTestGate {
  public:
    explicit AutoTestGate(CHeadersView& headers) : m_opened(m_promise.get_future().share()) {
        headers.setAutoTestStepHook([opened = m_opened] { opened.wait(); });
    }
    ~AutoTestGate() { open(); }
    AutoTestGate(const AutoTestGate&) = delete;
    AutoTestGate& operator=(const AutoTestGate&) = delete;

    void open() {
        if (!m_open) {
            m_open = true;
            m_promise.set_value();
        }
    }

  private:
    std::promise<void> m_promise;
    std::shared_future<void> m_opened;
    bool m_open = false;
};
