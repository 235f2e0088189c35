#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include <sys/stat.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "platform/Event.h"
#include "platform/InstanceLock.h"
#include "proxy/AccountServers.h"
#include "proxy/ProxyState.h"
#include "store/AccountBook.h"
#include "store/Backup.h"
#include "ui/EmailHeaderView.h"
#include "ui/EmailView.h"
#include "ui/FoldersView.h"
#include "ui/FrameActions.h"
#include "ui/HeadersView.h"
#include "ui/MainFrm.h"
#include "ui/StatusPanes.h"
#include "ui/TrayIcon.h"

using namespace std::chrono_literals;

namespace {

constexpr int kLong = 20000;


// The main frame over a fixture's objects, with a server thread that is not
// started unless a test starts it.
struct FrameFixture {
    FrameFixture()
        : proxy(ui.objects().proxyServices()),
          server(proxy),
          frame(ui.context(), server) {}

    bool create(bool firstStart = false, bool trayAvailable = false) {
        std::filesystem::create_directory(kBackupDirectory);
        return frame.create(&lock, firstStart, trayAvailable);
    }
    void setServer(const std::string& name) {
        Pop3Settings settings = ui.store().getPOP3Settings();
        settings.serverName = name;
        ui.store().setPOP3Settings(settings);
    }
    QStringList& asked() { return ui.prompter().asked; }
    QStringList& told() { return ui.prompter().told; }

    UiFixture ui;
    ProxyServices proxy;
    AccountServers server;
    platform::InstanceLock lock{kBackupDirectory};
    CMainFrame frame;
};

// Asks the frame for a view refresh from another thread, as the proxy does,
// and waits for the answer.
bool refreshFromProxy(FrameFixture& f, int parameter) {
    platform::Event done{platform::Event::Reset::Manual};
    Worker proxy([&] { f.ui.desktop().postRefreshViews(parameter, done); });
    return QTest::qWaitFor([&] { return done.wait(0ms); }, kLong);
}

// The title of every modal window that opens while `events` runs; each is
// rejected at once.
template <typename Events>
QStringList modalTitlesDuring(Events events) {
    QStringList titles;
    ModalWatch watch([&](QWidget* modal) {
        if (modal != nullptr) {
            titles << modal->windowTitle();
            qobject_cast<QDialog*>(modal)->reject();
        }
        return false;
    });
    events();
    return titles;
}

// Points XDG_CONFIG_HOME and HOME at directories of a test's own for as long
// as it lives.
class ConfigEnvironment {
  public:
    ConfigEnvironment(const QByteArray& configHome, const QByteArray& home)
        : m_config(qgetenv("XDG_CONFIG_HOME")), m_home(qgetenv("HOME")) {
        qputenv("XDG_CONFIG_HOME", configHome);
        qputenv("HOME", home);
    }
    ~ConfigEnvironment() {
        qputenv("XDG_CONFIG_HOME", m_config);
        qputenv("HOME", m_home);
    }
    ConfigEnvironment(const ConfigEnvironment&) = delete;
    ConfigEnvironment& operator=(const ConfigEnvironment&) = delete;

  private:
    QByteArray m_config;
    QByteArray m_home;
};

QString readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int permissionsOf(const QString& path) {
    struct stat info {};
    return ::stat(path.toLocal8Bit().constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QStringList menuTitles(QMenuBar* bar) {
    QStringList titles;
    for (QAction* action : bar->actions()) {
        titles << action->text();
    }
    return titles;
}

}  // namespace

class MainFrameTest : public QObject {
    Q_OBJECT

  private slots:
    void startsWithTitleMenusToolbarAndPanes() {
        FrameFixture f;
        QVERIFY(f.create());
        QCOMPARE(f.frame.windowTitle(), QStringLiteral("Glimmerfen!"));
        QCOMPARE(menuTitles(f.frame.menuBar()),
                 (QStringList{"&File", "&View", "&Server", "F&iltering", "&Help"}));
        const FrameActions& a = f.frame.actions();
        QCOMPARE(a.backupDatabase->statusTip(), QStringLiteral("Backup Glimmerfen email database"));
        QCOMPARE(a.pop3Settings->statusTip(), QStringLiteral("Launch POP3 Settings Panel"));
        QCOMPARE(a.pop3Settings->toolTip(), QStringLiteral("POP3 Settings Panel"));
        QCOMPARE(a.dnsblTestEmail->statusTip(), QStringLiteral("Test Email Agains DNS Block List"));
        QList<QAction*> expected{a.pop3Settings, a.restartServer, nullptr, a.dnsblPanel,
                                 a.buildPanel,   a.whiteList,     a.blackList, nullptr, a.help};
        const QList<QAction*> tools = a.toolBar->actions();
        QCOMPARE(tools.size(), expected.size());
        for (int i = 0; i < tools.size(); ++i) {
            QVERIFY(expected[i] ? tools[i] == expected[i] : tools[i]->isSeparator());
        }
        QCOMPARE(f.frame.statusPanes().currentFolderText(), QStringLiteral("NEW FOLDER"));
        QCOMPARE(f.frame.headerForm().height(), CMainFrame::kHeaderFormHeight);
    }

    void eachCommandOpensItsWindow_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("guarded");
        QTest::newRow("settings") << "pop3Settings" << "Server Settings" << true;
        QTest::newRow("accounts") << "accounts" << "Accounts" << true;
        QTest::newRow("restart") << "restartServer" << "Server" << true;
        QTest::newRow("dnsbl") << "dnsblPanel" << "DNSBL Panel" << false;
        QTest::newRow("build") << "buildPanel" << "Bayes Auto-Filter Build Panel" << true;
        QTest::newRow("white") << "whiteList"
                               << "White List - for emails you don't want filtered out" << true;
        QTest::newRow("black") << "blackList" << "Black List - for emails you want filtered out"
                               << true;
        QTest::newRow("about") << "about" << "About Glimmerfen" << false;
    }

    // Each menu and toolbar command reaches its window; a guarded one opens
    // nothing while the operation semaphore is held by a build.
    void eachCommandOpensItsWindow() {
        QFETCH(QString, command);
        QFETCH(QString, title);
        QFETCH(bool, guarded);
        FrameFixture f;
        QVERIFY(f.create());
        const FrameActions& a = f.frame.actions();
        const std::map<QString, QAction*> actions{
            {"pop3Settings", a.pop3Settings},   {"accounts", a.accounts},
            {"restartServer", a.restartServer}, {"dnsblPanel", a.dnsblPanel},
            {"buildPanel", a.buildPanel},       {"whiteList", a.whiteList},
            {"blackList", a.blackList},         {"about", a.about}};
        QAction* action = actions.at(command);
        QVERIFY(action->isEnabled());

        auto openedTitle = [&] {
            QString seen;
            ModalWatch watch([&](QWidget* modal) {
                if (modal == nullptr) {
                    return false;
                }
                seen = modal->windowTitle();
                qobject_cast<QDialog*>(modal)->reject();
                return true;
            });
            action->trigger();
            return seen;
        };
        QCOMPARE(openedTitle(), title);

        QVERIFY(f.ui.objects().buildSemaphore.tryAcquire(0ms));
        QCOMPARE(openedTitle(), guarded ? QString() : title);
        f.ui.objects().buildSemaphore.release();
    }

    void stateByteSetsTheStatusPanes() {
        FrameFixture f;
        f.ui.store().setHarrowgleamState(1 | 4);
        QVERIFY(f.create());
        QTRY_COMPARE_WITH_TIMEOUT(f.frame.statusPanes().bayesText(), QStringLiteral("BAYES ON"),
                                  kLong);
        QTRY_COMPARE_WITH_TIMEOUT(f.frame.statusPanes().dnsblText(), QStringLiteral("DNSBL ON"),
                                  kLong);

        FrameFixture off;
        off.ui.store().setHarrowgleamState(0);
        QVERIFY(off.create());
        QTRY_COMPARE_WITH_TIMEOUT(off.frame.statusPanes().bayesText(), QStringLiteral("BAYES OFF"),
                                  kLong);
        QTRY_COMPARE_WITH_TIMEOUT(off.frame.statusPanes().dnsblText(), QStringLiteral("DNSBL OFF"),
                                  kLong);
    }

    void theInstanceLockKeepsASecondCopyOut() {
        FrameFixture f;
        std::filesystem::create_directory(kBackupDirectory);
        platform::InstanceLock other(kBackupDirectory);
        QCOMPARE(other.acquire(0ms), platform::InstanceLock::Result::Acquired);
        QVERIFY(!f.frame.create(&f.lock, false, false));
        QVERIFY(f.told().isEmpty());
    }

    void aMissingBackupDirectoryIsToldAndStartUpGoesOn() {
        FrameFixture f;
        QVERIFY(f.frame.create(&f.lock, false, false));
        QCOMPARE(f.told(), QStringList{"Can't find \"backup\" sub-directory."});
    }

    void theFirstStartNoteShowsOnlyOnTheFirstStartWithATray() {
        FrameFixture first;
        first.setServer("pop.mail.test");
        QVERIFY(first.create(true, true));
        auto* note = first.frame.findChild<QMessageBox*>("firstStartNote");
        QVERIFY(note);
        QVERIFY(note->text().startsWith("Note: Glimmerfen runs in the system tray!\nSee lower"));

        FrameFixture later;
        QVERIFY(later.create(false, true));
        QVERIFY(!later.frame.findChild<QMessageBox*>("firstStartNote"));

        // Without a tray the window is open already: no icon to send anyone to.
        FrameFixture noTray;
        noTray.setServer("pop.mail.test");
        QVERIFY(noTray.create(true, false));
        QVERIFY(!noTray.frame.findChild<QMessageBox*>("firstStartNote"));
    }

    void aFirstStartWithThePlaceholderServerOpensTheAssistant() {
        // No tray, no note: the assistant comes as soon as the window loop runs.
        FrameFixture noTray;
        QVERIFY(noTray.create(true, false));
        QCOMPARE(modalTitlesDuring([] { QTest::qWait(100); }), QStringList{"Glimmerfen Setup"});

        // With the note, only once it has been put away.
        FrameFixture tray;
        QVERIFY(tray.create(true, true));
        auto* note = tray.frame.findChild<QMessageBox*>("firstStartNote");
        QVERIFY(note);
        QCOMPARE(modalTitlesDuring([] { QTest::qWait(100); }), QStringList());
        QCOMPARE(modalTitlesDuring([&] {
                     note->button(QMessageBox::Ok)->click();
                     QTest::qWait(100);
                 }),
                 QStringList{"Glimmerfen Setup"});

        // A server of the user's own, or a later start: nothing opens.
        FrameFixture named;
        named.setServer("pop.mail.test");
        QVERIFY(named.create(true, false));
        FrameFixture later;
        QVERIFY(later.create(false, false));
        QCOMPARE(modalTitlesDuring([] { QTest::qWait(100); }), QStringList());
    }

    void startAtLoginWritesAndRemovesTheAutostartEntry() {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString config = home.filePath("config");
        const ConfigEnvironment environment(config.toLocal8Bit(), home.path().toLocal8Bit());
        const QString entry = config + "/autostart/glimmerfen.desktop";
        FrameFixture f;
        QVERIFY(f.create());
        QAction* item = f.frame.actions().startAtLogin;
        QVERIFY(f.frame.actions().fileMenu->actions().contains(item));
        QCOMPARE(item->text(), QStringLiteral("Start Glimmerfen at &Login"));
        QCOMPARE(item->statusTip(), QStringLiteral("Start Glimmerfen by itself when you log in"));
        QVERIFY(item->isCheckable());
        QVERIFY(!item->isChecked());

        item->trigger();
        QVERIFY(item->isChecked());
        QVERIFY(f.told().isEmpty());
        const QString text = readText(entry);
        QVERIFY(text.contains("\nExec=" + QCoreApplication::applicationFilePath() + "\n"));
        QCOMPARE(permissionsOf(config), 0700);
        QCOMPARE(permissionsOf(config + "/autostart"), 0755);
        // The entry's text comes from the same code as glimmerfen-cli
        // autostart's, whose end-to-end test runs desktop-file-validate on it;
        // a window test cannot start a process under ThreadSanitizer.

        // The mark follows the file whenever the menu opens.
        QVERIFY(QFile::remove(entry));
        emit f.frame.actions().fileMenu->aboutToShow();
        QVERIFY(!item->isChecked());
        item->trigger();
        QVERIFY(QFile::exists(entry));
        item->trigger();
        QVERIFY(!item->isChecked());
        QVERIFY(!QFile::exists(entry));
        QVERIFY(f.told().isEmpty());
    }

    void startAtLoginTellsWhyItCouldNotWrite() {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        // A file where the configuration directory should be.
        const QString config = home.filePath("config");
        QFile blocker(config);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const ConfigEnvironment environment(config.toLocal8Bit(), home.path().toLocal8Bit());
        FrameFixture f;
        QVERIFY(f.create());
        QAction* item = f.frame.actions().startAtLogin;
        item->trigger();
        QVERIFY(!item->isChecked());
        QCOMPARE(f.told().size(), 1);
        QVERIFY(f.told().front().startsWith("Glimmerfen could not be set to start at login.\n"));
        QVERIFY2(
            f.told().front().endsWith("cannot create " + config + ": something else has that name"),
            qPrintable(f.told().front()));

        // A relative XDG_CONFIG_HOME counts for nothing: ~/.config it is.
        const ConfigEnvironment relative("relative/config", home.path().toLocal8Bit());
        f.ui.prompter().clear();
        item->trigger();
        QVERIFY(item->isChecked());
        QVERIFY(f.told().isEmpty());
        QVERIFY(QFile::exists(home.filePath(".config/autostart/glimmerfen.desktop")));
    }

    void closeIsRefusedWhileTheOperationSemaphoreIsHeld() {
        FrameFixture f;
        QVERIFY(f.create());
        QVERIFY(f.ui.objects().buildSemaphore.tryAcquire(0ms));
        QVERIFY(!f.frame.requestClose());
        QCOMPARE(f.told(),
                 QStringList{"Must wait for filter build to complete to exit application"});
        QVERIFY(f.asked().isEmpty());
        // A refused exit keeps the installation locked against a second copy.
        platform::InstanceLock other(kBackupDirectory);
        QCOMPARE(other.acquire(0ms), platform::InstanceLock::Result::HeldElsewhere);
        f.ui.objects().buildSemaphore.release();
    }

    void closeAsksAndNoKeepsTheProgram() {
        FrameFixture f;
        QVERIFY(f.create());
        QCOMPARE(f.server.startAll(), 1);
        QVERIFY(!f.frame.requestClose());
        QCOMPARE(f.asked(), QStringList{"Do you want to exit Glimmerfen?"});
        QCOMPARE(f.ui.prompter().titles, QStringList{"Glimmerfen!"});
        QVERIFY(!f.server.stateOf("main")->shutFlag);

        f.ui.prompter().answer({true});
        QVERIFY(f.frame.requestClose());
        QVERIFY(f.server.stateOf("main")->shutFlag);
        QVERIFY(f.server.stateOf("main")->appClosing);
        platform::InstanceLock other(kBackupDirectory);
        QCOMPARE(other.acquire(0ms), platform::InstanceLock::Result::Acquired);
    }

    void closeDuringADownloadAsksTheDownloadQuestion() {
        FrameFixture f;
        QVERIFY(f.create());
        const std::atomic<bool> stop{false};
        QVERIFY(f.ui.objects().sessionGate.beginSession(stop, 1ms));
        QVERIFY(!f.frame.requestClose());
        QCOMPARE(f.asked(), QStringList{"In Middle of Download Session.  Do you want to exit?"});
    }

    void closeDuringAnAutoTestAsksAboutTheTestFirst() {
        FrameFixture f;
        f.ui.trainFilter("cheap pills offer winner", "meeting agenda minutes project");
        f.ui.fill("newA", 3);
        f.ui.store().setHarrowgleamState(1);
        QVERIFY(f.create());
        std::atomic<bool> release{false};
        f.frame.headersView().setAutoTestStepHook([&] {
            while (!release) {
                std::this_thread::sleep_for(5ms);
            }
        });
        f.frame.headersView().autoTestFolder();
        QTRY_VERIFY_WITH_TIMEOUT(f.frame.headersView().isAutoTestRunning(), kLong);

        f.ui.prompter().answer({true, false});
        QVERIFY(!f.frame.requestClose());
        QCOMPARE(f.asked(), (QStringList{"In Middle of Auto Testing Folder.  Do you want to exit?",
                                         "Do you want to exit Glimmerfen?"}));
        release = true;
        QTRY_VERIFY_WITH_TIMEOUT(!f.frame.headersView().isAutoTestRunning(), kLong);

        // No to the first question ends the close at once.
        f.ui.prompter().clear();
        release = false;
        f.frame.headersView().autoTestFolder();
        QTRY_VERIFY_WITH_TIMEOUT(f.frame.headersView().isAutoTestRunning(), kLong);
        QVERIFY(!f.frame.requestClose());
        QCOMPARE(f.asked(), QStringList{"In Middle of Auto Testing Folder.  Do you want to exit?"});
        QVERIFY(f.frame.headersView().isAutoTestRunning());
        release = true;
        QTRY_VERIFY_WITH_TIMEOUT(!f.frame.headersView().isAutoTestRunning(), kLong);
    }

    void theCloseBoxAndTheTrayExitAskTheSameQuestion() {
        FrameFixture f;
        QVERIFY(f.create());
        QSignalSpy granted(&f.frame, &CMainFrame::exitGranted);
        f.frame.show();
        QVERIFY(!f.frame.close());
        QVERIFY(f.frame.isVisible());
        emit f.frame.trayIcon().exitRequested();
        QCOMPARE(f.asked(), (QStringList{"Do you want to exit Glimmerfen?",
                                         "Do you want to exit Glimmerfen?"}));
        QCOMPARE(granted.count(), 0);

        f.ui.prompter().answer({true});
        f.frame.actions().exit->trigger();
        QCOMPARE(granted.count(), 1);
        QVERIFY(!f.frame.isVisible());
    }

    void aSessionRefreshCleansTrimsAndReloads() {
        FrameFixture f;
        QVERIFY(f.create());
        f.ui.fill("newA", 610);
        QVERIFY(refreshFromProxy(f, 1));
        QCOMPARE(f.ui.store().emailCount("newA"), 600);
        QCOMPARE(f.ui.store().emailCount("trashA"), 10);
        QCOMPARE(f.frame.headersView().topLevelItemCount(), 600);
        QCOMPARE(f.frame.foldersView().topLevelItem(0)->text(1), QStringLiteral("600"));
        QCOMPARE(f.frame.foldersView().topLevelItem(5)->text(1), QStringLiteral("10"));
    }

    void aBuildRefreshReloadsTheFolderShown() {
        FrameFixture f;
        QVERIFY(f.create());
        QCOMPARE(f.frame.headersView().topLevelItemCount(), 0);
        f.ui.addEmail("newA", "arrived during the build");
        QVERIFY(refreshFromProxy(f, 0));
        QCOMPARE(f.frame.headersView().topLevelItemCount(), 1);
        QCOMPARE(f.frame.headersView().topLevelItem(0)->text(1),
                 QStringLiteral("arrived during the build"));
    }

    void aRowFromTheProxyAppearsInNewEmails() {
        FrameFixture f;
        QVERIFY(f.create());
        QVERIFY(f.ui.desktop().isNewEmailsShown());
        const int index = f.ui.addEmail("newA", "fresh from the server");
        HeaderRow row;
        f.ui.store().readEmailHeaders("newA", [&](const HeaderRow& r) { row = r; });
        QCOMPARE(row.index, std::to_string(index));
        Worker proxy([&] { f.ui.desktop().addHeaderRow(row); });
        QTRY_COMPARE_WITH_TIMEOUT(f.frame.headersView().topLevelItemCount(), 1, kLong);
    }

    void backupCopiesTheStoreAndSaysWhere() {
        FrameFixture f;
        QVERIFY(f.create());
        f.ui.prompter().clear();
        f.frame.actions().backupDatabase->trigger();
        QVERIFY(backupExists(1));
        QCOMPARE(f.told(), QStringList{"Database has been backed up to \"backup\\HGIndex1.hgd\"\n"
                                       "See Help for details on loading it if necessary."});

        // Busy: the command does nothing at all.
        std::filesystem::remove(backupFileName(1));
        f.ui.prompter().clear();
        QVERIFY(f.ui.objects().buildSemaphore.tryAcquire(0ms));
        f.frame.actions().backupDatabase->trigger();
        f.ui.objects().buildSemaphore.release();
        QVERIFY(!backupExists(1));
        QVERIFY(f.told().isEmpty());
    }

    void aFailedBackupIsNotReportedAsDone() {
        FrameFixture f;
        QVERIFY(f.create());
        std::filesystem::remove_all(kBackupDirectory);
        f.ui.prompter().clear();
        f.frame.actions().backupDatabase->trigger();
        QCOMPARE(f.told().size(), 1);
        QVERIFY(f.told().front().startsWith("The database could not be backed up"));
    }

    void f6MovesTheFocusThroughThePanes() {
        FrameFixture f;
        QVERIFY(f.create());
        f.frame.show();
        QVERIFY(QTest::qWaitForWindowActive(&f.frame));
        f.frame.foldersView().setFocus();
        QTest::keyClick(&f.frame, Qt::Key_F6);
        QVERIFY(f.frame.headersView().hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
        QVERIFY(f.frame.headerForm().isAncestorOf(QApplication::focusWidget()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
        QVERIFY(f.frame.emailView().hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
        QVERIFY(f.frame.headerForm().isAncestorOf(QApplication::focusWidget()));
    }

    void withoutATrayMinimisingKeepsTheWindowReachable() {
        QVERIFY(!TrayIcon::available());  // offscreen has no tray
        FrameFixture f;
        QVERIFY(f.create());
        f.frame.show();
        f.frame.showMinimized();
        QTest::qWait(50);
        QVERIFY(f.frame.isVisible());
        f.frame.expandWindow();
        QVERIFY(f.frame.isVisible());
        QVERIFY(!f.frame.isMinimized());
    }

    void theListTimerRestartsAProxyThatStoppedItself() {
        FrameFixture f;
        Pop3Settings settings = f.ui.store().getPOP3Settings();
        settings.localPort = freeLocalPort();
        QVERIFY(settings.localPort != 0);
        f.ui.store().setPOP3Settings(settings);
        QVERIFY(f.create());
        QCOMPARE(f.server.startAll(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.listeningCount(), 1, kLong);

        // Stopped by itself: a later tick starts it again.
        f.server.stateOf("main")->shutFlag = true;
        QTRY_VERIFY_WITH_TIMEOUT(f.server.listeningCount() == 0, kLong);
        QTRY_VERIFY_WITH_TIMEOUT(
            (f.frame.onListTimer(),
             f.server.status().front().listeningPort == settings.localPort),
            kLong);

        // Stopped by the user (closing): no restart.
        QVERIFY(f.server.stopForExit(10s));
        f.frame.onListTimer();
        QCOMPARE(f.server.listeningCount(), 0);
    }

    void theListTimerPutsTheAccountsServedInTheTrayTip() {
        FrameFixture f;
        Pop3Settings main = f.ui.store().getPOP3Settings();
        main.localPort = freeLocalPort();
        f.ui.store().setPOP3Settings(main);
        QVERIFY(f.create(false, true));
        QCOMPARE(f.server.startAll(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(f.server.listeningCount(), 1, kLong);
        f.frame.onListTimer();
        QCOMPARE(f.frame.trayIcon().toolTip(), TrayIcon::kFirstTip);

        const int otherPort = freeLocalPort();
        QVERIFY(otherPort != 0 && otherPort != main.localPort);
        const Account other{
            "work", Pop3Settings{true, "pop.work.test", 0, 0, 0, 0, 110, otherPort}, {}};
        QVERIFY(!AccountBook(f.ui.store()).add(other));
        f.server.reload();
        QTRY_COMPARE_WITH_TIMEOUT(f.server.listeningCount(), 2, kLong);
        f.frame.onListTimer();
        QCOMPARE(
            f.frame.trayIcon().toolTip(),
            QStringLiteral("Glimmerfen: 2 accounts\n Double Click, or\n Right Click for Menu"));
    }
};

GLIMMERFEN_UI_TEST_MAIN(MainFrameTest)
#include "tst_mainframe.moc"
