#pragma once

#include <atomic>
#include <mutex>
#include <ostream>

#include "desktop/Desktop.h"

// glimmerfen-cli's desktop: messages go to a stream (standard error), nothing
// waits for a person, and view refreshes have no views to refresh.
class ConsoleDesktop : public Desktop {
  public:
    // With `interactive` the builder shows a progress bar that redraws in place.
    explicit ConsoleDesktop(std::ostream& out, bool interactive = false);

    void showTimedBox(const std::string& message) override;
    void refreshFolderCounts() override {}
    // A terminal has no status bar; the commands print what they changed themselves.
    void setStatusText(StatusPane, const std::string&) override {}
    // Runs the build on a thread of its own and prints its passes and stages;
    // when the cancel flag goes up (Ctrl-C), cancels as a "No" to the question would.
    void runBuilderDialog(BuilderJob& job) override;
    void postRefreshViews(int parameter, platform::Event& done) override;

    // No person can answer: the conflict is printed, and the port stays as it
    // was, which the caller reports as a failure.
    int askForPort(int currentPort, const std::string& account) override;
    bool isNewEmailsShown() override { return false; }
    void addHeaderRow(const HeaderRow&) override {}
    void showMessage(const std::string& message) override { showTimedBox(message); }

    void setCancelFlag(const std::atomic<bool>* flag) { m_cancelFlag = flag; }

  private:
    std::mutex m_mutex;
    std::ostream& m_out;
    const bool m_interactive;
    const std::atomic<bool>* m_cancelFlag = nullptr;
};
