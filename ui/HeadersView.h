#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <QList>
#include <QPoint>
#include <QString>
#include <QTreeWidget>

#include "desktop/HeaderRow.h"
#include "store/Folder.h"
#include "ui/ViewContext.h"

class CError;
class CEmailHeaderView;
class CEmailView;
class QAction;
class QMenu;

// The emails of one folder, newest first. A mouse click shows an email in the
// two panes below and rates it; the Filtering commands rate a whole folder on
// a thread of their own or check an email's relays against the block lists;
// the moves carry the selected emails to another folder, from the keys F4, F2,
// F3 and Del, the context menu, or a drop on the folder list.
//
// While a folder test runs, the user's commands do nothing and changes to the
// list wait for the test to end (whenIdle), so the GUI thread never waits for
// the test thread. A DNSBL test also runs on a thread of its own, since a
// silent name server holds each query for seconds; it reads nothing of the
// list, so the user's commands go on meanwhile.
class CHeadersView : public QTreeWidget {
    Q_OBJECT

  public:
    enum Column : int {
        kFromColumn,
        kSubjectColumn,
        kDateTimeColumn,
        kToColumn,
        kSpamColumn,
        kRatingColumn,
        kIndexColumn,
        kDelTimeColumn,
        kColumnCount
    };
    static constexpr int kMoveLimit = 50;
    // What a drag out of the list carries: the dragged emails' index numbers,
    // one decimal line each, in list order.
    static constexpr const char* kMimeType = "application/x-glimmerfen-emails";

    CHeadersView(ViewContext& context, CEmailHeaderView& headerPane, CEmailView& bodyPane,
                 QWidget* parent = nullptr);
    ~CHeadersView() override;

    // Sets up the columns, drops corrupted records from every folder and loads
    // New Emails. A store failure comes out as its CError, for start-up to show.
    void initialUpdate();

    // Loads a folder and empties the two panes. A store failure is recorded
    // and reported through fatalError.
    void setActiveFolder(Folder folder);
    // The folder the folder list and the status pane show as current.
    Folder currentFolder() const { return m_folder; }
    void selectFolder(Folder folder);

    // A row the proxy has just stored in New Emails. Dropped unless New Emails is
    // shown when it is applied, and when the list already holds its index.
    void addRow(const HeaderRow& row);
    // Sends New's overflow to the Trash and drops the Trash's, reloading the
    // folder shown when it lost emails.
    void trimAndRefresh();

    void autoTestFolder();
    void dnsblTestEmail();
    void moveToNew();
    void moveToStoreGood();
    void moveToStoreBad();
    void moveToTrash();
    // A drop of the selected emails on a row of the folder list; -1 for no row.
    void dropOnFolderRow(int folderListRow);

    bool isAutoTestRunning() const { return m_autoTestRunning.load(); }
    // Clears the auto-test flag and waits at most `wait` for the thread to end;
    // true when it has (or none ran).
    bool stopAutoTest(std::chrono::milliseconds wait);
    // Runs `work` now or, while a folder test runs, after it has ended, in the
    // order given.
    void whenIdle(std::function<void()> work);

    // From the start of a DNSBL test until its answer has reached this thread.
    bool isDnsblTestRunning() const { return m_dnsblRunning; }
    // The program is closing: a running DNSBL test's answer is no longer shown.
    // Its thread ends with the check's own time-outs and is joined on destruction.
    void abandonDnsblTest() { m_dnsblWanted = false; }

    // Runs on the test thread before each email; lets tests hold a folder test
    // in the middle.
    void setAutoTestStepHook(std::function<void()> hook);

    // The move actions of the context menu, with their keys.
    const QList<QAction*>& moveActions() const { return m_moveActions; }

  signals:
    void currentFolderChanged(const QString& paneText);
    void countsChanged();
    void fatalError(const QString& text);
    void autoTestEnded();

  protected:
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;
    void startDrag(Qt::DropActions supportedActions) override;
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    struct SortState {
        int column = kDateTimeColumn;
        // True: text ascending, dates newest first. Inverted before each sort.
        bool direction = true;
    };
    struct TestResult {
        QString spam;
        QString rating;
    };

    void setupColumns();
    void setupActions();
    void addMoveAction(const QString& menuText, void (CHeadersView::*move)());
    void onSectionResized(int column, int oldSize, int newSize);

    void showFolder(std::optional<Folder> folder);
    void loadFolder(std::optional<Folder> folder);
    void insertRow(const HeaderRow& row);
    QTreeWidgetItem* rowOfIndex(const QString& index) const;
    std::string_view shownKey() const;
    void clearPanes();

    void showAndTest(QTreeWidgetItem* item);
    TestResult rate(const std::string& text);
    void sortByColumn(int column);
    void sortRows(int column, bool direction);

    QList<QTreeWidgetItem*> selectedRows() const;
    static int indexOf(const QTreeWidgetItem* item);
    static std::vector<int> indexesOf(const QList<QTreeWidgetItem*>& rows);

    void moveSelection(Folder target);
    void moveRows(QList<QTreeWidgetItem*> rows, Folder target);
    void trashRows(const QList<QTreeWidgetItem*>& rows);
    int admittedCount(int selected, Folder target);
    void removeRows(const QList<QTreeWidgetItem*>& rows);
    void trimAndReload();
    void reportStoreError(const CError& error);

    std::vector<int> indexesToTest() const;
    void startAutoTest(std::vector<int> indexes);
    void runAutoTest(const std::vector<int>& indexes, Folder folder, std::uint64_t generation);
    void testOneEmail(int index, Folder folder, std::uint64_t generation);
    void applyTestResult(std::uint64_t generation, int index, const TestResult& result);
    void finishAutoTest();

    void startDnsblTest(std::vector<std::string> receivedIPs);
    QString dnsblVerdict(const std::vector<std::string>& receivedIPs);
    void finishDnsblTest(const QString& verdict);

    ViewContext& m_context;
    CEmailHeaderView& m_headerPane;
    CEmailView& m_bodyPane;

    Folder m_folder = Folder::New;
    // The folder whose emails the list holds; none before the first load.
    std::optional<Folder> m_shownFolder;
    // Counts the loads, so that a test result for an earlier load is dropped.
    std::uint64_t m_generation = 0;
    std::array<SortState, kAllFolders.size()> m_sortStates{};
    QList<QAction*> m_moveActions;
    QMenu* m_optionsMenu;
    QPoint m_pressPoint;

    std::thread m_autoTestThread;
    // Cleared to stop the test after the email it is rating.
    std::atomic<bool> m_autoTestFlag{false};
    // From the start of a test until the GUI thread has seen it end.
    std::atomic<bool> m_autoTestRunning{false};
    std::mutex m_autoTestMutex;
    std::condition_variable m_autoTestDone;
    bool m_autoTestFinished = false;
    std::function<void()> m_autoTestStepHook;
    std::deque<std::function<void()>> m_deferred;

    std::thread m_dnsblThread;
    bool m_dnsblRunning = false;
    // Cleared when the answer of the running DNSBL test is to be dropped.
    bool m_dnsblWanted = false;
};
