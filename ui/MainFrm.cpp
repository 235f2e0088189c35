#include "ui/MainFrm.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>

#include "diag/Error.h"
#include "diag/SourceName.h"
#include "platform/Autostart.h"
#include "platform/InstanceLock.h"
#include "proxy/ProcessObjects.h"
#include "proxy/AccountServers.h"
#include "store/Backup.h"
#include "ui/AboutDialog.h"
#include "ui/AccountsDialog.h"
#include "ui/AppIcons.h"
#include "ui/BayesPanel.h"
#include "ui/BlackListDlg.h"
#include "ui/EmailHeaderView.h"
#include "ui/EmailView.h"
#include "ui/FirstStartAssistant.h"
#include "ui/FoldersView.h"
#include "ui/FrameActions.h"
#include "ui/HeadersView.h"
#include "ui/HelpWindow.h"
#include "ui/OperationGuard.h"
#include "ui/POP3.h"
#include "ui/Prompter.h"
#include "ui/QtDesktop.h"
#include "ui/ScheduelFilterBuild.h"
#include "ui/ServerDlg.h"
#include "ui/StatusPanes.h"
#include "ui/TrayIcon.h"
#include "ui/WhiteListDlg.h"

using namespace std::chrono_literals;

namespace {

const QString kTitle = QStringLiteral("Glimmerfen!");
constexpr auto kCloseWait = 1000ms;

}  // namespace

CMainFrame::CMainFrame(ViewContext& context, AccountServers& server, QWidget* parent)
    : QMainWindow(parent), m_context(context), m_server(server) {
    setWindowTitle(kTitle);
    setWindowIcon(appicons::applicationIcon());
    m_actions = std::make_unique<FrameActions>(*this);
    m_statusPanes = std::make_unique<StatusPanes>(*statusBar());
    buildPanes();
    m_tray = new TrayIcon(context.objects.sessionGate, this);
    connectCore();
    connectCommands();
    resize(1000, 720);
}

CMainFrame::~CMainFrame() {
    m_context.desktop.setRefreshHandler({});
}

void CMainFrame::buildPanes() {
    m_wndSplitter = new QSplitter(Qt::Vertical, this);
    m_wndSplitter2 = new QSplitter(Qt::Horizontal, m_wndSplitter);
    m_headerForm = new CEmailHeaderView(m_wndSplitter);
    m_emailView = new CEmailView(m_wndSplitter);
    m_headers = new CHeadersView(m_context, *m_headerForm, *m_emailView, m_wndSplitter2);
    m_folders = new CFoldersView(m_context, *m_headers, m_wndSplitter2);

    m_wndSplitter2->addWidget(m_folders);
    m_wndSplitter2->addWidget(m_headers);
    m_wndSplitter2->setStretchFactor(0, 0);
    m_wndSplitter2->setStretchFactor(1, 1);
    m_wndSplitter2->setSizes({kFolderListWidth, 700});

    // The header form keeps its height whatever the user does with the bars;
    // the list above and the text below share the rest.
    m_headerForm->setFixedHeight(kHeaderFormHeight);
    m_wndSplitter->addWidget(m_wndSplitter2);
    m_wndSplitter->addWidget(m_headerForm);
    m_wndSplitter->addWidget(m_emailView);
    m_wndSplitter->setCollapsible(1, false);
    m_wndSplitter->setStretchFactor(0, 0);
    m_wndSplitter->setStretchFactor(2, 1);
    m_wndSplitter->setSizes({300, kHeaderFormHeight, 300});
    setCentralWidget(m_wndSplitter);
}

void CMainFrame::connectCore() {
    QtDesktop& desktop = m_context.desktop;
    desktop.setRefreshHandler([this](int parameter) { refreshViews(parameter); });
    connect(&desktop, &QtDesktop::folderCountsRefreshRequested, m_folders,
            &CFoldersView::refreshCounts);
    connect(&desktop, &QtDesktop::statusTextRequested, this,
            [this](StatusPane pane, const QString& text) { m_statusPanes->setText(pane, text); });
    connect(&desktop, &QtDesktop::headerRowAdded, m_headers, &CHeadersView::addRow);

    connect(m_headers, &CHeadersView::currentFolderChanged, this,
            [this](const QString& text) { m_statusPanes->setCurrentFolder(text); });
    connect(m_headers, &CHeadersView::fatalError, this, [this](const QString& text) {
        m_context.prompter.tell(text);
        endProgram();
    });
    connect(m_tray, &TrayIcon::expandRequested, this, &CMainFrame::expandWindow);
    connect(m_tray, &TrayIcon::exitRequested, this, [this] { close(); });
    connect(&m_listTimer, &QTimer::timeout, this, &CMainFrame::onListTimer);
}

void CMainFrame::connectCommands() {
    FrameActions& a = *m_actions;
    connect(a.backupDatabase, &QAction::triggered, this, &CMainFrame::OnBackupDatabase);
    // Another program (or glimmerfen-cli) may have switched it since: the mark
    // is read from the file whenever the menu opens.
    a.startAtLogin->setChecked(platform::autostart::isOn());
    connect(a.fileMenu, &QMenu::aboutToShow, this,
            [this] { m_actions->startAtLogin->setChecked(platform::autostart::isOn()); });
    connect(a.startAtLogin, &QAction::triggered, this, &CMainFrame::OnStartAtLogin);
    connect(a.exit, &QAction::triggered, this, [this] { close(); });
    connect(a.autoTestFolder, &QAction::triggered, m_headers, &CHeadersView::autoTestFolder);
    connect(a.dnsblTestEmail, &QAction::triggered, m_headers, &CHeadersView::dnsblTestEmail);
    connect(a.help, &QAction::triggered, this, &CMainFrame::OnHelp);
    connect(a.about, &QAction::triggered, this, &CMainFrame::OnAbout);
    connect(a.pop3Settings, &QAction::triggered, this, &CMainFrame::OnServerPop3settings);
    connect(a.accounts, &QAction::triggered, this, &CMainFrame::OnServerAccounts);
    connect(a.restartServer, &QAction::triggered, this, &CMainFrame::OnRestartServer);
    connect(a.dnsblPanel, &QAction::triggered, this, &CMainFrame::OnDnsblPanel);
    connect(a.buildPanel, &QAction::triggered, this, &CMainFrame::OnBuildPanel);
    connect(a.whiteList, &QAction::triggered, this, &CMainFrame::OnWhiteList);
    connect(a.blackList, &QAction::triggered, this, &CMainFrame::OnBlackList);

    auto* next = new QShortcut(QKeySequence(Qt::Key_F6), this);
    connect(next, &QShortcut::activated, this, [this] { cycleFocus(1); });
    auto* previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6), this);
    connect(previous, &QShortcut::activated, this, [this] { cycleFocus(-1); });
}

bool CMainFrame::create(platform::InstanceLock* lock, bool firstStart, bool trayAvailable) {
    m_context.objects.applyStateByte();
    m_lock = lock;
    if (m_lock) {
        const auto result = m_lock->acquire(1000ms);
        if (result == platform::InstanceLock::Result::HeldElsewhere) {
            return false;
        }
        if (result == platform::InstanceLock::Result::NoBackupDirectory) {
            m_context.prompter.tell(QStringLiteral("Can't find \"backup\" sub-directory."));
        }
    }
    m_tray->add();
    m_folders->initialUpdate();
    m_headers->initialUpdate();
    m_listTimer.start(kListTimerMs);
    if (firstStart) {
        welcomeNewUser(trayAvailable);
    }
    return true;
}

// The note says where the program lives, so without a tray (the window is open
// already) it would only send the user looking for an icon that is not there.
// A store that still names the placeholder server cannot fetch any mail: the
// first-start assistant follows, once the note is out of the way.
void CMainFrame::welcomeNewUser(bool trayAvailable) {
    QMessageBox* note = trayAvailable ? showFirstStartNote() : nullptr;
    if (!serverIsPlaceholder()) {
        return;
    }
    // Queued: start-up finishes and the window loop runs before the assistant does.
    if (note != nullptr) {
        connect(note, &QMessageBox::finished, this, &CMainFrame::OnFirstStart,
                Qt::QueuedConnection);
    } else {
        QMetaObject::invokeMethod(this, &CMainFrame::OnFirstStart, Qt::QueuedConnection);
    }
}

bool CMainFrame::serverIsPlaceholder() {
    try {
        const Pop3Settings settings = m_context.objects.store.getPOP3Settings();
        return settings.useDomainName && settings.serverName == CDatabase::kPlaceholderServerName;
    } catch (const CError&) {
        return false;  // on record; the settings dialog would only meet the same failure
    }
}

// Shown beside the starting program rather than before it: the proxy must not
// wait for somebody to read a note.
QMessageBox* CMainFrame::showFirstStartNote() {
    auto* note = new QMessageBox(
        QMessageBox::Information, kTitle,
        QStringLiteral("Note: Glimmerfen runs in the system tray!\nSee lower righthand corner of "
                       "computer, next to clock!\nDouble Click Icon, or right click mouse for menu"),
        QMessageBox::Ok, this);
    note->setObjectName(QStringLiteral("firstStartNote"));
    note->setAttribute(Qt::WA_DeleteOnClose);
    note->setWindowModality(Qt::NonModal);
    note->show();
    return note;
}

bool CMainFrame::requestClose() {
    Prompter& prompter = m_context.prompter;
    {
        OperationGuard probe(m_context.objects.buildSemaphore);
        if (!probe) {
            prompter.tell(
                QStringLiteral("Must wait for filter build to complete to exit application"));
            return false;
        }
    }
    if (m_headers->isAutoTestRunning()) {
        if (!prompter.askYesNo(
                QStringLiteral("In Middle of Auto Testing Folder.  Do you want to exit?"))) {
            return false;
        }
        m_headers->stopAutoTest(kCloseWait);
    }
    const bool downloading = m_server.anySessionActive();
    if (!prompter.askYesNo(downloading
                               ? QStringLiteral("In Middle of Download Session.  Do you want to exit?")
                               : QStringLiteral("Do you want to exit Glimmerfen?"))) {
        return false;
    }
    // From here on the exit is certain: nothing may wait for a window any more,
    // so a server thread showing a box or asking a question is let go at once.
    m_context.desktop.shutdown();
    m_headers->abandonDnsblTest();
    m_server.stopForExit(kCloseWait);
    m_tray->remove();
    // The lock is given up only now: a refused exit keeps this installation ours.
    if (m_lock) {
        m_lock->release();
    }
    return true;
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (m_exitGranted || requestClose()) {
        m_exitGranted = true;
        event->accept();
        emit exitGranted();
        return;
    }
    event->ignore();
}

void CMainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Without a tray a hidden window could never be found again: minimise normally.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayIcon::available()) {
        QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
    }
}

void CMainFrame::expandWindow() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void CMainFrame::refreshViews(int parameter) {
    // While an auto test holds the list, the refresh waits for it to end; the
    // proxy goes on meanwhile.
    if (parameter == 0) {
        m_headers->whenIdle([this] { m_headers->setActiveFolder(m_headers->currentFolder()); });
    } else if (parameter == 1) {
        m_headers->whenIdle([this] {
            try {
                m_context.objects.store.cleanAllFolders();
            } catch (const CError& error) {
                m_context.prompter.tell(QString::fromStdString(error.m_message));
            }
            m_headers->trimAndRefresh();
            m_folders->refreshCounts();
        });
    }
}

void CMainFrame::onListTimer() {
    m_tray->setAccountsServed(m_server.listeningCount());
    m_tray->listTick();
    m_server.restartIfStopped();
}

void CMainFrame::cycleFocus(int step) {
    QWidget* const panes[] = {m_folders, m_headers, m_headerForm, m_emailView};
    constexpr int count = 4;
    int current = -1;
    for (int i = 0; i < count; ++i) {
        if (panes[i] == focusWidget() || panes[i]->isAncestorOf(focusWidget())) {
            current = i;
        }
    }
    const int next = ((current < 0 ? 0 : current + step) % count + count) % count;
    // The form takes no focus itself: its first field does.
    QWidget* target = panes[next];
    if (target == m_headerForm) {
        if (auto* field = m_headerForm->findChild<QLineEdit*>()) {
            target = field;
        }
    }
    target->setFocus(Qt::ShortcutFocusReason);
}

void CMainFrame::OnBackupDatabase() {
    if (m_headers->isAutoTestRunning()) {
        return;
    }
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        return;
    }
    try {
        if (backupStore(m_context.objects.store)) {
            m_context.prompter.tell(QStringLiteral(
                "Database has been backed up to \"backup\\HGIndex1.hgd\"\nSee Help for details on "
                "loading it if necessary."));
        } else {
            m_context.prompter.tell(QStringLiteral(
                "The database could not be backed up to \"backup\\HGIndex1.hgd\".\nCheck that "
                "the \"backup\" folder exists and that the disk has room."));
        }
    } catch (const CError& error) {
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    }
}

// The mark always shows the file as it is: a switch that failed is told, and
// the mark goes back.
void CMainFrame::OnStartAtLogin(bool on) {
    std::string reason;
    const bool switched =
        on ? platform::autostart::turnOn(platform::autostart::runningProgram(), reason)
           : platform::autostart::turnOff(reason);
    m_actions->startAtLogin->setChecked(platform::autostart::isOn());
    if (!switched) {
        m_context.prompter.tell(
            (on ? QStringLiteral("Glimmerfen could not be set to start at login.\n")
                : QStringLiteral("Glimmerfen could not be kept from starting at login.\n")) +
            QString::fromStdString(reason));
    }
}

// The server settings hold the operation semaphore while open, so that no
// build starts meanwhile; they do not wait for an auto test.
void CMainFrame::OnServerPop3settings() {
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        return;
    }
    try {
        CPOP3 dialog(m_context, this);
        if (dialog.exec() == QDialog::Accepted) {
            dialog.save();
        }
    } catch (const CError& error) {
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    } catch (const std::exception&) {
        const CError recorded("Catch All Error", "CMainFrame::OnServerPop3settings", GF_HERE);
    }
}

// As the server settings: no build starts while accounts change.
void CMainFrame::OnServerAccounts() {
    runHoldingSemaphore([this] {
        AccountsDialog dialog(m_context, m_server, this);
        dialog.exec();
    });
}

void CMainFrame::OnFirstStart() {
    runHoldingSemaphore([this] {
        FirstStartAssistant assistant(m_context, m_server, this);
        assistant.exec();
    });
}

void CMainFrame::OnRestartServer() {
    runGuarded([this] {
        CServerDlg dialog(m_server, this);
        dialog.exec();
    });
}

// The block-list switches change nothing a build or a move depends on: the
// panel opens without the operation semaphore.
void CMainFrame::OnDnsblPanel() {
    if (m_headers->isAutoTestRunning()) {
        return;
    }
    try {
        CBayesPanel panel(m_context, this);
        panel.exec();
    } catch (const CError& error) {
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    }
}

void CMainFrame::OnBuildPanel() {
    runGuarded([this] {
        CScheduelFilterBuild panel(m_context, this);
        panel.exec();
    });
}

void CMainFrame::OnWhiteList() {
    runGuarded([this] {
        CWhiteListDlg dialog(m_context.objects.whiteList, m_context.prompter, this);
        dialog.exec();
    });
}

void CMainFrame::OnBlackList() {
    runGuarded([this] {
        CBlackListDlg dialog(m_context.objects.blackList, m_context.prompter, this);
        dialog.exec();
    });
}

// A guarded command: nothing at all while an auto test runs or while a build
// or another command holds the operation semaphore; the semaphore is held for
// the whole command.
void CMainFrame::runGuarded(const std::function<void()>& command) {
    if (m_headers->isAutoTestRunning()) {
        return;
    }
    runHoldingSemaphore(command);
}

// The server settings' way: the semaphore for the whole command, whether or
// not an auto test runs.
void CMainFrame::runHoldingSemaphore(const std::function<void()>& command) {
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        return;
    }
    try {
        command();
    } catch (const CError& error) {
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    }
}

void CMainFrame::OnHelp() {
    if (!m_help) {
        m_help = new HelpWindow(this);
        m_help->setWindowFlag(Qt::Window);
    }
    m_help->showTopic();
}

HelpWindow* CMainFrame::helpWindow() {
    return m_help;
}

void CMainFrame::OnAbout() {
    AboutDialog about(appicons::applicationIcon(), this);
    about.exec();
}

void CMainFrame::endProgram() {
    m_exitGranted = true;
    m_context.desktop.shutdown();
    m_headers->abandonDnsblTest();
    m_tray->remove();
    emit exitGranted();
}
