#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include <QObject>
#include <QString>

#include "desktop/Desktop.h"
#include "desktop/HeaderRow.h"
#include "ui/GuiBridge.h"

// The desktop program's Desktop: any thread may call it; windows are shown on
// the GUI thread through the bridge, and the calls that tell the views
// something come out as signals emitted on the GUI thread, for the main frame
// to connect. Construct it on the GUI thread.
class QtDesktop : public QObject, public Desktop {
    Q_OBJECT

  public:
    explicit QtDesktop(QObject* parent = nullptr);
    ~QtDesktop() override;

    void showTimedBox(const std::string& message) override;
    void refreshFolderCounts() override;
    void setStatusText(StatusPane pane, const std::string& text) override;
    void runBuilderDialog(BuilderJob& job) override;
    void postRefreshViews(int parameter, platform::Event& done) override;
    int askForPort(int currentPort, const std::string& account) override;
    bool isNewEmailsShown() override;
    void addHeaderRow(const HeaderRow& row) override;
    void showMessage(const std::string& message) override;

    // Refreshes the views on the GUI thread; the waiting core goes on when it
    // returns. Without one, a refresh request is done at once. GUI thread only.
    void setRefreshHandler(std::function<void(int parameter)> handler);
    // Kept up to date by the header list.
    void setNewEmailsShown(bool shown);

    void setTimedBoxDuration(std::chrono::milliseconds duration);
    void setBuilderStartDelay(std::chrono::milliseconds delay);

    // The exit protocol, on the GUI thread, before joining the threads that
    // call this Desktop: afterwards every call returns at once.
    void shutdown();
    GuiBridge& bridge() { return m_bridge; }

  signals:
    void refreshViewsRequested(int parameter);
    void folderCountsRefreshRequested();
    void statusTextRequested(StatusPane pane, const QString& text);
    void headerRowAdded(const HeaderRow& row);

  private:
    GuiBridge m_bridge;
    std::function<void(int)> m_refreshHandler;
    std::atomic<bool> m_hasRefreshHandler{false};
    std::atomic<bool> m_newEmailsShown{false};
    std::atomic<std::chrono::milliseconds> m_timedBoxDuration;
    std::atomic<std::chrono::milliseconds> m_builderStartDelay;
};
