#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "desktop/Desktop.h"

// A Desktop for tests: every call is recorded, in order, as one line such as
// "timedBox WARNING: ..." or "refreshFolderCounts".
class RecordingDesktop : public Desktop {
  public:
    void showTimedBox(const std::string& message) override;
    void refreshFolderCounts() override;
    // Recorded as "status Bayes BAYES ON" or "status Dnsbl DNSBL OFF".
    void setStatusText(StatusPane pane, const std::string& text) override;

    std::vector<std::string> calls() const;
    // The messages of the timed boxes shown so far.
    std::vector<std::string> timedBoxes() const;
    void clear();

  private:
    void record(std::string call);

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};
