#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "ModalWatch.h"
#include "ui/TimedBox.h"

using namespace std::chrono_literals;

class TimedBoxTest : public QObject {
    Q_OBJECT

  private slots:
    void looksLikeTheErrorBox() {
        CTimedBox box;
        QCOMPARE(box.windowTitle(), QStringLiteral("Error Message:"));
        auto* edit = box.findChild<QPlainTextEdit*>(QStringLiteral("message"));
        QVERIFY(edit != nullptr);
        QVERIFY(edit->isReadOnly());
        QCOMPARE(box.findChild<QPushButton*>(QStringLiteral("ok"))->text(), QStringLiteral("OK"));
        QCOMPARE(box.findChild<QPushButton*>(QStringLiteral("wait"))->text(),
                 QStringLiteral("Wait"));
        QCOMPARE(box.duration(), 5000ms);
    }

    void showsTheMessageWhenOpened() {
        CTimedBox box;
        box.setMessage(QStringLiteral("Socket Error: 10048"));
        QString shown;
        ModalWatch watch([&](QWidget* modal) {
            if (modal != &box) {
                return false;
            }
            shown = box.findChild<QPlainTextEdit*>(QStringLiteral("message"))->toPlainText();
            box.findChild<QPushButton*>(QStringLiteral("ok"))->click();
            return true;
        });
        QCOMPARE(box.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
        QCOMPARE(shown, QStringLiteral("Socket Error: 10048"));
    }

    void emptyMessageShowsAnEmptyEdit_data() {
        QTest::addColumn<bool>("setEmpty");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty message") << true << QString();
        QTest::newRow("no message set") << false << QStringLiteral("No Message");
    }

    void emptyMessageShowsAnEmptyEdit() {
        QFETCH(bool, setEmpty);
        QFETCH(QString, expected);
        CTimedBox box;
        if (setEmpty) {
            box.setMessage(QString());
        }
        box.show();
        QCOMPARE(box.findChild<QPlainTextEdit*>(QStringLiteral("message"))->toPlainText(),
                 expected);
        box.findChild<QPushButton*>(QStringLiteral("ok"))->click();
        QVERIFY(!box.isVisible());
    }

    void closesByItselfWhenNobodyTouchesIt() {
        CTimedBox box;
        box.setDuration(50ms);
        ModalWatch guard([](QWidget*) { return false; });
        QCOMPARE(box.exec(), int(QDialog::Rejected));
        QVERIFY2(!guard.timedOut(), "the box did not close by itself");
        QVERIFY(!box.isVisible());
    }

    void waitKeepsItOpenUntilOk() {
        CTimedBox box;
        box.setDuration(50ms);
        bool openAfterTimer = false;
        int step = 0;
        ModalWatch watch([&](QWidget* modal) {
            if (modal != &box) {
                return false;
            }
            if (step == 0) {
                box.findChild<QPushButton*>(QStringLiteral("wait"))->click();
                step = 1;
                return false;
            }
            if (box.isTimerRunning()) {
                return false;
            }
            // The timer has fired; only "OK" may close the box now.
            openAfterTimer = box.isVisible() && box.isWaiting();
            box.findChild<QPushButton*>(QStringLiteral("ok"))->click();
            return true;
        });
        QCOMPARE(box.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
        QVERIFY(openAfterTimer);
    }

    void okClosesAtOnceAndStopsTheTimer() {
        CTimedBox box;
        bool timerWasRunning = false;
        ModalWatch watch([&](QWidget* modal) {
            if (modal != &box) {
                return false;
            }
            timerWasRunning = box.isTimerRunning();
            box.findChild<QPushButton*>(QStringLiteral("ok"))->click();
            return true;
        });
        QCOMPARE(box.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
        QVERIFY(timerWasRunning);
        QVERIFY(!box.isTimerRunning());
    }
};

GLIMMERFEN_UI_TEST_MAIN(TimedBoxTest)
#include "tst_timedbox.moc"
