#pragma once

#include <string>

#include "desktop/HeaderRow.h"

class BuilderJob;
namespace platform {
class Event;
}

// How a message about one account begins: nothing for "main", the store's
// own account that every installation has, "account NAME: " for the others.
inline std::string accountPrefix(const std::string& account) {
    return account == "main" ? std::string() : "account " + account + ": ";
}

// The status-bar panes that the core sets.
enum class StatusPane { Dnsbl, Bayes };

// What the core asks of the user or tells the views. The core never knows how:
// the desktop program shows real windows, glimmerfen-cli prints, tests record.
// Implementations may be called from any thread.
class Desktop {
  public:
    virtual ~Desktop() = default;

    // The self-closing error box: returns when the box has closed, after at most
    // five seconds unless the user asked it to wait.
    virtual void showTimedBox(const std::string& message) = 0;
    // The folder list re-reads its six counts.
    virtual void refreshFolderCounts() = 0;
    // Shows "BAYES ON"/"BAYES OFF" or "DNSBL ON"/"DNSBL OFF" in its pane.
    virtual void setStatusText(StatusPane pane, const std::string& text) = 0;
    // The filter builder's progress dialog, modal on the calling thread: runs the
    // job and returns when it has ended.
    virtual void runBuilderDialog(BuilderJob& job) = 0;
    // Asks the main frame to refresh its views (0 after a build, 1 after a mail
    // session); `done` is set when the views have been refreshed.
    virtual void postRefreshViews(int parameter, platform::Event& done) = 0;
    // The port conflict dialog: "There is a Server Port conflict. ..." with the
    // current port of the named account; returns the port the user entered.
    virtual int askForPort(int currentPort, const std::string& account) = 0;
    // Whether the header list shows New Emails, and a row added to it there.
    virtual bool isNewEmailsShown() = 0;
    virtual void addHeaderRow(const HeaderRow& row) = 0;
    // A plain message box ("Server Restarted!").
    virtual void showMessage(const std::string& message) = 0;
};
