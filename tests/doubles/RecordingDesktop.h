#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "desktop/Desktop.h"
#include "platform/Event.h"

// A Desktop for tests: every call is recorded, in order, as one line such as
// "timedBox WARNING: ..." or "refreshFolderCounts".
class RecordingDesktop : public Desktop {
  public:
    void showTimedBox(const std::string& message) override;
    void refreshFolderCounts() override;
    // Recorded as "status Bayes BAYES ON" or "status Dnsbl DNSBL OFF".
    void setStatusText(StatusPane pane, const std::string& text) override;

    // Runs the build directly, recording "pass …" and "stage …" lines; cancels
    // it when the stage named by cancelAtStage() begins.
    void runBuilderDialog(BuilderJob& job) override;
    // Recorded as "refreshViews 0"; the views are done at once unless held.
    void postRefreshViews(int parameter, platform::Event& done) override;

    // Recorded as "askForPort 1070" (main) or "askForPort 1071 work"; answers with the scripted port.
    int askForPort(int currentPort, const std::string& account) override;
    bool isNewEmailsShown() override;
    // Recorded as "headerRow <index> <subject>".
    void addHeaderRow(const HeaderRow& row) override;
    // Recorded as "message <text>".
    void showMessage(const std::string& message) override;

    void answerPortWith(int port);
    void showNewEmails(bool shown);
    std::vector<HeaderRow> headerRows() const;

    void cancelAtStage(std::string stage);
    void holdRefreshes(bool hold);
    // The completions of the refreshes held so far, in the order asked; each
    // is set by releaseHeldRefresh.
    std::size_t heldRefreshCount() const;
    void releaseHeldRefresh(std::size_t which);

    std::vector<std::string> calls() const;
    // The messages of the timed boxes shown so far.
    std::vector<std::string> timedBoxes() const;
    void clear();
    // Adds a line to the record (the recording reporter's pass and stage texts).
    void note(std::string call);

  private:
    void record(std::string call);

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::string m_cancelStage;
    bool m_holdRefreshes = false;
    std::vector<platform::Event*> m_heldRefreshes;
    int m_portAnswer = 2000;
    bool m_newEmailsShown = false;
    std::vector<HeaderRow> m_rows;
};
