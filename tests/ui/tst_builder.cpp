#include <atomic>
#include <stdexcept>

#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "ModalWatch.h"
#include "desktop/BuildReporter.h"
#include "desktop/BuilderJob.h"
#include "platform/Event.h"
#include "ui/BuilderDialog.h"
#include "ui/QtDesktop.h"

using namespace std::chrono_literals;

namespace {

constexpr int kLong = 20000;

// A build that reports only once the test opens the gate, then runs until the
// test lets it finish or it is cancelled.
class FakeJob : public BuilderJob {
  public:
    void opened() override { ++openedCount; }
    void run(BuildReporter& reporter) override {
        running_ = true;
        started = true;
        waitFor(gate);
        reporter.setPassText("Pass 1 of 4");
        reporter.setStageText("Building Filter");
        reporter.setRange(1, 10);
        reporter.setPosition(4);
        reported = true;
        waitFor(finish);
        running_ = false;
        if (throwAtEnd) {
            throw std::runtime_error("store failure");
        }
    }
    void cancel() override {
        ++cancelCount;
        cancelled = true;
    }
    bool running() const override { return running_; }

    std::atomic<int> openedCount{0};
    std::atomic<int> cancelCount{0};
    std::atomic<bool> started{false};
    std::atomic<bool> reported{false};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> running_{false};
    bool throwAtEnd = false;
    platform::Event gate{platform::Event::Reset::Manual};
    platform::Event finish{platform::Event::Reset::Manual};

  private:
    void waitFor(platform::Event& event) {
        while (!cancelled && !event.wait(10ms)) {
        }
    }
};

QString textOf(QWidget* dialog, const char* name) {
    return dialog->findChild<QLineEdit*>(QLatin1String(name))->text();
}

void clickLater(QPushButton* button) {
    QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
}

// Presses later, from the event loop: the question it raises has a loop of its own.
void pressLater(QWidget* widget, Qt::Key key) {
    QMetaObject::invokeMethod(
        widget, [widget, key] { QTest::keyClick(widget, key); }, Qt::QueuedConnection);
}

}  // namespace

class BuilderTest : public QObject {
    Q_OBJECT

  private slots:
    void showsTheBuildAndClosesWhenItEnds() {
        QtDesktop desktop;
        desktop.setBuilderStartDelay(10ms);
        FakeJob job;
        Worker worker([&] { desktop.runBuilderDialog(job); });
        QStringList seen;
        bool waitedWhileOpen = false;
        int step = 0;
        ModalWatch watch([&](QWidget* modal) {
            auto* dialog = qobject_cast<BuilderDialog*>(modal);
            if (dialog == nullptr) {
                return false;
            }
            if (step == 0) {
                seen << dialog->windowTitle() << textOf(dialog, "stageText")
                     << dialog->findChild<QPushButton*>(QStringLiteral("cancel"))->text();
                step = 1;
            }
            if (step == 1 && job.started) {
                seen << textOf(dialog, "stageText");  // started, nothing reported yet
                job.gate.set();
                step = 2;
            }
            auto* progress = dialog->findChild<QProgressBar*>(QStringLiteral("progress"));
            if (step == 2 && textOf(dialog, "stageText") == QStringLiteral("Building Filter") &&
                progress->value() == 4) {
                seen << textOf(dialog, "passText") << QString::number(progress->maximum());
                waitedWhileOpen = !worker.done();
                job.finish.set();
                return true;
            }
            return false;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QCOMPARE(seen, QStringList({"Auto-Filter Builder", "Hello World", "Cancel", "Hello World",
                                    "Pass 1 of 4", "10"}));
        QVERIFY(waitedWhileOpen);
        QCOMPARE(job.openedCount.load(), 1);
        QCOMPARE(job.cancelCount.load(), 0);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    // At the real delay: the build starts from the dialog's timer, not before.
    void theBuildWaitsForAOneSecondTimerAfterOpening() {
        QtDesktop desktop;
        FakeJob job;
        job.gate.set();
        Worker worker([&] { desktop.runBuilderDialog(job); });
        QTimer* timer = nullptr;
        int interval = 0;
        bool singleShot = false;
        bool startedWhileTimerRan = false;
        ModalWatch watch([&](QWidget* modal) {
            auto* dialog = qobject_cast<BuilderDialog*>(modal);
            if (dialog == nullptr) {
                return false;
            }
            if (timer == nullptr) {
                timer = dialog->findChild<QTimer*>(QStringLiteral("startTimer"));
                if (timer == nullptr) {
                    return true;
                }
                interval = timer->interval();
                singleShot = timer->isSingleShot();
            }
            if (!job.started) {
                return false;
            }
            startedWhileTimerRan = timer->isActive();
            job.finish.set();
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done() || watch.finished(), kLong);
        job.finish.set();
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(timer != nullptr);
        QCOMPARE(interval, 1000);
        QVERIFY(singleShot);
        QVERIFY(!startedWhileTimerRan);
        QCOMPARE(job.openedCount.load(), 1);
    }

    // The Cancel button, Escape and the close box all ask before cancelling.
    void answeringNoCancelsTheBuild_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("cancel button") << QStringLiteral("cancel");
        QTest::newRow("escape") << QStringLiteral("escape");
        QTest::newRow("close box") << QStringLiteral("close");
    }
    void answeringNoCancelsTheBuild() {
        QFETCH(QString, how);
        QtDesktop desktop;
        desktop.setBuilderStartDelay(10ms);
        FakeJob job;
        Worker worker([&] { desktop.runBuilderDialog(job); });
        QString question;
        bool questionIcon = false;
        bool asked = false;
        bool openWhileAsked = false;
        ModalWatch watch([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                question = box->text();
                questionIcon = box->icon() == QMessageBox::Question &&
                               box->button(QMessageBox::Yes) != nullptr;
                openWhileAsked = qobject_cast<QWidget*>(box->parent())->isVisible();
                box->button(QMessageBox::No)->click();
                return true;
            }
            auto* dialog = qobject_cast<BuilderDialog*>(modal);
            if (dialog != nullptr && job.started && !asked) {
                asked = true;
                if (how == QStringLiteral("cancel")) {
                    clickLater(dialog->findChild<QPushButton*>(QStringLiteral("cancel")));
                } else if (how == QStringLiteral("escape")) {
                    pressLater(dialog, Qt::Key_Escape);
                } else {
                    QMetaObject::invokeMethod(dialog, &QWidget::close, Qt::QueuedConnection);
                }
            }
            return false;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QCOMPARE(question, QStringLiteral("Do you want to build the filter now?"));
        QVERIFY(questionIcon);
        QVERIFY(openWhileAsked);
        QCOMPARE(job.cancelCount.load(), 1);
        QVERIFY(!job.running());
        QVERIFY(!job.finish.isSet());
    }

    void answeringYesAndPressingEnterLeaveTheBuildRunning() {
        QtDesktop desktop;
        desktop.setBuilderStartDelay(10ms);
        FakeJob job;
        job.gate.set();
        Worker worker([&] { desktop.runBuilderDialog(job); });
        int step = 0;
        bool stillOpen = false;
        ModalWatch watch([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                box->button(QMessageBox::Yes)->click();
                step = 2;
                return false;
            }
            auto* dialog = qobject_cast<BuilderDialog*>(modal);
            if (dialog == nullptr || !job.started) {
                return false;
            }
            if (step == 0) {
                pressLater(dialog, Qt::Key_Escape);
                step = 1;
            } else if (step == 2) {
                QTest::keyClick(dialog, Qt::Key_Return);
                QTest::keyClick(dialog, Qt::Key_Enter);
                step = 3;
            } else if (step == 3) {
                stillOpen = dialog->isVisible() && !worker.done();
                job.finish.set();
                return true;
            }
            return false;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QVERIFY(stillOpen);
        QCOMPARE(job.cancelCount.load(), 0);
    }

    void exitCancelsTheBuildAndWaitsForIt() {
        QtDesktop desktop;
        desktop.setBuilderStartDelay(10ms);
        FakeJob job;
        Worker worker([&] { desktop.runBuilderDialog(job); });
        ModalWatch watch([&](QWidget* modal) {
            if (qobject_cast<BuilderDialog*>(modal) == nullptr || !job.started) {
                return false;
            }
            desktop.shutdown();
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(watch.finished());
        QVERIFY(job.cancelCount.load() >= 1);
        QVERIFY(!job.running());
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        FakeJob late;
        Worker after([&] { desktop.runBuilderDialog(late); });
        after.join();
        QVERIFY(!late.started);
    }

    void positionZeroShowsAsTheStartOfTheRange() {
        FakeJob job;
        BuilderDialog dialog(std::make_shared<BuilderRun>(job), 1h);
        auto* progress = dialog.findChild<QProgressBar*>(QStringLiteral("progress"));
        dialog.setProgressRange(1, 10);
        dialog.setProgressPosition(7);
        // A new stage begins at 0 under the same range: the bar must drop back.
        dialog.setProgressPosition(0);
        QCOMPARE(progress->value(), 1);
        dialog.setProgressRange(1, 3);
        dialog.setProgressPosition(0);
        QCOMPARE(progress->value(), 1);
    }

    void aFailedBuildStillClosesTheDialogAndReachesTheCaller() {
        QtDesktop desktop;
        desktop.setBuilderStartDelay(10ms);
        FakeJob job;
        job.throwAtEnd = true;
        job.gate.set();
        job.finish.set();
        bool caught = false;
        Worker worker([&] {
            try {
                desktop.runBuilderDialog(job);
            } catch (const std::runtime_error&) {
                caught = true;
            }
        });
        ModalWatch guard([](QWidget*) { return false; });
        QTRY_VERIFY_WITH_TIMEOUT(worker.done(), kLong);
        QVERIFY(!guard.timedOut());
        QVERIFY(caught);
    }
};

GLIMMERFEN_UI_TEST_MAIN(BuilderTest)
#include "tst_builder.moc"
