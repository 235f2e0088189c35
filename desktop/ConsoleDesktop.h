#pragma once

#include <mutex>
#include <ostream>

#include "desktop/Desktop.h"

// glimmerfen-cli's desktop: messages go to a stream (standard error), nothing
// waits for a person, and view refreshes have no views to refresh.
class ConsoleDesktop : public Desktop {
  public:
    explicit ConsoleDesktop(std::ostream& out);

    void showTimedBox(const std::string& message) override;
    void refreshFolderCounts() override {}
    // A terminal has no status bar; the commands print what they changed themselves.
    void setStatusText(StatusPane, const std::string&) override {}

  private:
    std::mutex m_mutex;
    std::ostream& m_out;
};
