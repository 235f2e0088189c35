#include <optional>
#include <stdexcept>
#include <vector>

#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "ModalWatch.h"
#include "platform/Event.h"
#include "ui/GuiBridge.h"
#include "ui/PortConflictDialog.h"
#include "ui/QtDesktop.h"
#include "ui/TimedBox.h"

using namespace std::chrono_literals;

namespace {

constexpr int kLong = 20000;

// Clicks later, from the event loop, so that a message box the click opens runs
// its loop outside the watch's handler.
void clickLater(QPushButton* button) {
    QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
}

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT

  private slots:
    void bridgeRunsDirectlyOnTheGuiThread() {
        GuiBridge bridge;
        QCOMPARE(bridge.call<int>([] { return 7; }), std::optional<int>(7));
    }

    void bridgeRunsAWorkersCallOnTheGuiThread() {
        GuiBridge bridge;
        QThread* const gui = QThread::currentThread();
        std::optional<int> result;
        bool onGui = false;
        Worker worker([&] {
            result = bridge.call<int>([&] {
                onGui = QThread::currentThread() == gui;
                return 42;
            });
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QCOMPARE(result, std::optional<int>(42));
        QVERIFY(onGui);
    }

    void bridgeKeepsTheWorkerWaitingUntilTheCallReturns() {
        GuiBridge bridge;
        bool served = false;
        Worker worker([&] {
            served = bridge.run([] {
                QDialog dialog;
                dialog.exec();
            });
        });
        bool waitedWhileOpen = false;
        ModalWatch watch([&](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            if (dialog == nullptr) {
                return false;
            }
            waitedWhileOpen = !worker.done();
            dialog->accept();
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QVERIFY(waitedWhileOpen);
        QVERIFY(served);
    }

    void bridgeRethrowsToTheWorker() {
        GuiBridge bridge;
        bool caught = false;
        Worker worker([&] {
            try {
                bridge.run([] { throw std::runtime_error("boom"); });
            } catch (const std::runtime_error&) {
                caught = true;
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(caught);
    }

    void bridgeShutdownWakesTheWorkerAndRefusesLaterCalls() {
        GuiBridge bridge;
        std::optional<bool> served;
        Worker worker([&] {
            served = bridge.run([] {
                QDialog dialog;
                dialog.exec();
            });
        });
        ModalWatch watch([&](QWidget* modal) {
            if (qobject_cast<QDialog*>(modal) == nullptr) {
                return false;
            }
            bridge.shutdown();
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QCOMPARE(served, std::optional<bool>(false));

        bool ran = false;
        bool dropped = false;
        std::optional<int> later = 1;
        Worker late([&] {
            later = bridge.call<int>([&] {
                ran = true;
                return 2;
            });
            bridge.post([&] { ran = true; }, [&] { dropped = true; });
        });
        late.join();  // with no event processed: refused calls need no GUI
        QCOMPARE(later, std::optional<int>());
        QVERIFY(dropped);
        QVERIFY(!bridge.run([&] { ran = true; }));
        QCoreApplication::processEvents();
        QVERIFY(!ran);
    }

    void bridgeShutdownDropsQueuedRequests() {
        GuiBridge bridge;
        bool ran = false;
        bool dropped = false;
        Worker poster([&] { bridge.post([&] { ran = true; }, [&] { dropped = true; }); });
        poster.join();
        QVERIFY(!dropped);
        bridge.shutdown();
        QVERIFY(dropped);
        QCoreApplication::processEvents();
        QVERIFY(!ran);
    }

    void timedBoxBlocksTheWorkerUntilItCloses() {
        QtDesktop desktop;
        Worker worker([&] { desktop.showTimedBox("Winsock Error: 10048"); });
        QString shown;
        bool waitedWhileOpen = false;
        ModalWatch watch([&](QWidget* modal) {
            auto* box = qobject_cast<CTimedBox*>(modal);
            if (box == nullptr) {
                return false;
            }
            shown = box->findChild<QPlainTextEdit*>(QStringLiteral("message"))->toPlainText();
            waitedWhileOpen = !worker.done();
            box->findChild<QPushButton*>(QStringLiteral("ok"))->click();
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QCOMPARE(shown, QStringLiteral("Winsock Error: 10048"));
        QVERIFY(waitedWhileOpen);
    }

    void timedBoxLetsTheWorkerGoOnByItself() {
        QtDesktop desktop;
        desktop.setTimedBoxDuration(50ms);
        bool seen = false;
        ModalWatch guard([&](QWidget* modal) {
            seen = seen || qobject_cast<CTimedBox*>(modal) != nullptr;
            return false;
        });
        Worker worker([&] { desktop.showTimedBox("unattended"); });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(!guard.timedOut());
    }

    void shutdownReleasesAWorkerInTheTimedBoxAndLaterCallsReturnAtOnce() {
        QtDesktop desktop;
        Worker worker([&] { desktop.showTimedBox("waiting"); });
        ModalWatch watch([&](QWidget* modal) {
            auto* box = qobject_cast<CTimedBox*>(modal);
            if (box == nullptr) {
                return false;
            }
            box->findChild<QPushButton*>(QStringLiteral("wait"))->click();
            desktop.shutdown();
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        int port = 0;
        platform::Event done;
        Worker late([&] {
            desktop.showTimedBox("after exit");
            desktop.showMessage("Server Restarted!");
            port = desktop.askForPort(1070, "main");
            desktop.postRefreshViews(0, done);
        });
        late.join();
        QCOMPARE(port, 1070);
        QVERIFY(done.isSet());
    }

    void askForPortRefusesNonNumbersAndReturnsTheNumber() {
        QtDesktop desktop;
        int port = 0;
        Worker worker([&] { port = desktop.askForPort(1070, "main"); });
        QStringList texts;
        QStringList complaints;
        int step = 0;
        ModalWatch watch([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                complaints << box->text();
                texts << QString::number(box->parentWidget() != nullptr &&
                                         box->parentWidget()->isVisible());
                box->button(QMessageBox::Ok)->click();
                return false;
            }
            auto* dialog = qobject_cast<PortConflictDialog*>(modal);
            if (dialog == nullptr) {
                return false;
            }
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("port"));
            auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("ok"));
            if (step == 0) {
                texts
                    << dialog->windowTitle()
                    << dialog->findChild<QPlainTextEdit*>(QStringLiteral("message"))->toPlainText()
                    << dialog->findChild<QGroupBox*>(QStringLiteral("portGroup"))->title();
                clickLater(ok);  // blank
            } else if (step == 1 && complaints.size() == 1) {
                QTest::keyClicks(edit, QStringLiteral("abc"));
                clickLater(ok);
            } else if (step == 2 && complaints.size() == 2) {
                edit->clear();
                QTest::keyClicks(edit, QStringLiteral("1500"));
                clickLater(ok);
                return true;
            } else {
                return false;
            }
            ++step;
            return false;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QCOMPARE(port, 1500);
        QCOMPARE(complaints, QStringList({QStringLiteral("Must Enter a valid port number"),
                                          QStringLiteral("Must Enter a valid port number")}));
        QCOMPARE(texts, QStringList({QStringLiteral("WARNING: Server Port Conflict"),
                                     QStringLiteral("There is a Server Port conflict.  The "
                                                    "current port number 1070 must be changed."),
                                     QStringLiteral("Enter Another Local Server Port Number "
                                                    "(1025-5000)"),
                                     QStringLiteral("1"), QStringLiteral("1")}));
    }

    void askForPortReadsAtMostSixCharacters() {
        PortConflictDialog dialog(1070);
        dialog.show();
        QTest::keyClicks(dialog.findChild<QLineEdit*>(QStringLiteral("port")),
                         QStringLiteral("123456x"));
        dialog.findChild<QPushButton*>(QStringLiteral("ok"))->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.port(), 123456);
    }

    void askForPortKeepsThePortWhenEscaped() {
        QtDesktop desktop;
        int port = 0;
        Worker worker([&] { port = desktop.askForPort(1070, "main"); });
        ModalWatch watch([&](QWidget* modal) {
            auto* dialog = qobject_cast<PortConflictDialog*>(modal);
            if (dialog == nullptr) {
                return false;
            }
            QTest::keyClicks(dialog->findChild<QLineEdit*>(QStringLiteral("port")),
                             QStringLiteral("3000"));
            QTest::keyClick(dialog, Qt::Key_Escape);
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QCOMPARE(port, 1070);
    }

    void showMessageWaitsForOk() {
        QtDesktop desktop;
        Worker worker([&] { desktop.showMessage("Server Restarted!"); });
        QString text;
        bool waitedWhileOpen = false;
        ModalWatch watch([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box == nullptr) {
                return false;
            }
            text = box->text();
            waitedWhileOpen = !worker.done();
            box->button(QMessageBox::Ok)->click();
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QCOMPARE(text, QStringLiteral("Server Restarted!"));
        QVERIFY(waitedWhileOpen);
    }

    void refreshViewsWaitsForTheHandler() {
        QtDesktop desktop;
        QThread* const gui = QThread::currentThread();
        std::vector<int> handled;
        bool doneBeforeHandler = true;
        bool onGui = false;
        platform::Event done(platform::Event::Reset::Manual);
        desktop.setRefreshHandler([&](int parameter) {
            doneBeforeHandler = done.isSet();
            onGui = QThread::currentThread() == gui;
            handled.push_back(parameter);
        });
        QSignalSpy requested(&desktop, &QtDesktop::refreshViewsRequested);
        Worker worker([&] { desktop.postRefreshViews(1, done); });
        worker.join();
        QTRY_VERIFY_WITH_TIMEOUT(done.isSet(), kLong);
        QCOMPARE(handled, std::vector<int>({1}));
        QVERIFY(!doneBeforeHandler);
        QVERIFY(onGui);
        QCOMPARE(requested.count(), 1);
        QCOMPARE(requested.at(0).at(0).toInt(), 1);
    }

    void refreshViewsWithoutAHandlerIsDoneAtOnce() {
        QtDesktop desktop;
        platform::Event done(platform::Event::Reset::Manual);
        Worker worker([&] { desktop.postRefreshViews(0, done); });
        worker.join();
        QVERIFY(done.isSet());
    }

    void refreshViewsDroppedAtExitIsStillDone() {
        QtDesktop desktop;
        bool handled = false;
        desktop.setRefreshHandler([&](int) { handled = true; });
        platform::Event done(platform::Event::Reset::Manual);
        Worker worker([&] { desktop.postRefreshViews(1, done); });
        worker.join();
        QVERIFY(!done.isSet());
        desktop.shutdown();
        QVERIFY(done.isSet());
        QCoreApplication::processEvents();
        QVERIFY(!handled);
    }

    void viewNotificationsArriveOnTheGuiThread() {
        QtDesktop desktop;
        QThread* const gui = QThread::currentThread();
        int counts = 0;
        QStringList statuses;
        QStringList rows;
        bool allOnGui = true;
        connect(&desktop, &QtDesktop::folderCountsRefreshRequested, [&] {
            allOnGui = allOnGui && QThread::currentThread() == gui;
            ++counts;
        });
        connect(&desktop, &QtDesktop::statusTextRequested, [&](StatusPane pane, const QString& t) {
            allOnGui = allOnGui && QThread::currentThread() == gui;
            statuses << (pane == StatusPane::Bayes ? QStringLiteral("Bayes ")
                                                   : QStringLiteral("Dnsbl ")) +
                            t;
        });
        connect(&desktop, &QtDesktop::headerRowAdded, [&](const HeaderRow& row) {
            allOnGui = allOnGui && QThread::currentThread() == gui;
            rows << QString::fromStdString(row.index + " " + row.subject);
        });
        Worker worker([&] {
            desktop.refreshFolderCounts();
            desktop.setStatusText(StatusPane::Bayes, "BAYES ON");
            desktop.setStatusText(StatusPane::Dnsbl, "DNSBL OFF");
            HeaderRow row;
            row.index = "17";
            row.subject = "Hello";
            desktop.addHeaderRow(row);
        });
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(rows.size(), 1, kLong);
        QCOMPARE(counts, 1);
        QCOMPARE(statuses, QStringList({QStringLiteral("Bayes BAYES ON"),
                                        QStringLiteral("Dnsbl DNSBL OFF")}));
        QCOMPARE(rows.front(), QStringLiteral("17 Hello"));
        QVERIFY(allOnGui);
    }

    void newEmailsShownIsWhatTheGuiSet() {
        QtDesktop desktop;
        QVERIFY(!desktop.isNewEmailsShown());
        desktop.setNewEmailsShown(true);
        bool seen = false;
        Worker worker([&] { seen = desktop.isNewEmailsShown(); });
        worker.join();
        QVERIFY(seen);
    }
};

GLIMMERFEN_UI_TEST_MAIN(DesktopTest)
#include "tst_desktop.moc"
