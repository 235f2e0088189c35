#pragma once

#include <atomic>
#include <string>

#include "desktop/BuilderJob.h"
#include "desktop/Desktop.h"
#include "platform/Event.h"

// A Desktop for benchmarks: no output, no waiting, nothing kept. Counts the
// error boxes so a benchmark can tell when the store complained.
class QuietDesktop : public Desktop {
  public:
    void showTimedBox(const std::string&) override { ++boxes; }
    void refreshFolderCounts() override {}
    void setStatusText(StatusPane, const std::string&) override {}
    void runBuilderDialog(BuilderJob&) override {}
    void postRefreshViews(int, platform::Event& done) override { done.set(); }
    int askForPort(int currentPort, const std::string&) override { return currentPort; }
    bool isNewEmailsShown() override { return false; }
    void addHeaderRow(const HeaderRow&) override {}
    void showMessage(const std::string&) override {}

    std::atomic<int> boxes{0};
};
