#pragma once

#include <functional>
#include <memory>

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include "ui/ViewContext.h"

class CEmailHeaderView;
class CEmailView;
class CFoldersView;
class CHeadersView;
class HelpWindow;
class QMessageBox;
class QSplitter;
class AccountServers;
class StatusPanes;
class TrayIcon;
struct FrameActions;
namespace platform {
class InstanceLock;
}

// The main window: folder list, header list, header form and message text in
// two splitters, the commands of the menus and toolbar, the status panes, the
// tray icon, and the rules that decide whether the program may exit. It lives
// hidden in the tray and is opened from there.
class CMainFrame : public QMainWindow {
    Q_OBJECT

  public:
    static constexpr int kFolderListWidth = 300;
    static constexpr int kHeaderFormHeight = 65;
    static constexpr int kListTimerMs = 5000;

    CMainFrame(ViewContext& context, AccountServers& server, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The rest of start-up once the panes exist: the state byte to the filter,
    // the block lists and their panes, the single-instance lock (false when
    // another copy runs here: the program must end), the tray icon, the views'
    // first loads and the list timer, and on the first start of an
    // installation the welcome (see welcomeNewUser). `lock` may be null (no
    // protection); `trayAvailable` says whether the desktop has a tray for
    // the icon.
    bool create(platform::InstanceLock* lock, bool firstStart, bool trayAvailable);

    // The close rules, in order; true when the program may end. The window's
    // close box, File > Exit and the tray menu's Exit all come here.
    bool requestClose();

    // The program's answer to the proxy's view refresh: 0 after a filter build,
    // 1 after a mail session.
    void refreshViews(int parameter);

    // Ends the program without a question: a termination signal, or a store
    // that cannot be read.
    void endProgram();

    // Opens the window from the tray.
    void expandWindow();

    // The 5-second list timer's work.
    void onListTimer();

    CHeadersView& headersView() { return *m_headers; }
    CFoldersView& foldersView() { return *m_folders; }
    CEmailHeaderView& headerForm() { return *m_headerForm; }
    CEmailView& emailView() { return *m_emailView; }
    TrayIcon& trayIcon() { return *m_tray; }
    StatusPanes& statusPanes() { return *m_statusPanes; }
    FrameActions& actions() { return *m_actions; }
    HelpWindow* helpWindow();

  signals:
    // The close rules granted the exit (or a fatal error ended the program).
    void exitGranted();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildPanes();
    void connectCore();
    void connectCommands();
    void cycleFocus(int step);
    void OnBackupDatabase();
    void OnStartAtLogin(bool on);
    void OnServerPop3settings();
    void OnServerAccounts();
    void OnFirstStart();
    void OnRestartServer();
    void OnDnsblPanel();
    void OnBuildPanel();
    void OnWhiteList();
    void OnBlackList();
    void runGuarded(const std::function<void()>& command);
    void runHoldingSemaphore(const std::function<void()>& command);
    void OnHelp();
    void OnAbout();
    void welcomeNewUser(bool trayAvailable);
    QMessageBox* showFirstStartNote();
    bool serverIsPlaceholder();

    ViewContext& m_context;
    AccountServers& m_server;
    platform::InstanceLock* m_lock = nullptr;
    QSplitter* m_wndSplitter = nullptr;
    QSplitter* m_wndSplitter2 = nullptr;
    CEmailHeaderView* m_headerForm = nullptr;
    CEmailView* m_emailView = nullptr;
    CHeadersView* m_headers = nullptr;
    CFoldersView* m_folders = nullptr;
    std::unique_ptr<FrameActions> m_actions;
    std::unique_ptr<StatusPanes> m_statusPanes;
    TrayIcon* m_tray = nullptr;
    QPointer<HelpWindow> m_help;
    QTimer m_listTimer;
    bool m_exitGranted = false;
};
