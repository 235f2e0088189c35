#include <QAction>
#include <QDir>
#include <QImage>
#include <QSignalSpy>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "ui/AnimSetting.h"
#include "ui/AppIcons.h"
#include "ui/TrayIcon.h"

namespace {

constexpr int kLong = 20000;
const std::string kAnimOn("\x01\x00\x00\x00", 4);
const std::string kAnimOff("\x00\x00\x00\x00", 4);

QImage imageOf(const QIcon& icon, int size) {
    return icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The frame the tray really shows, found by its pixels.
int frameOnTray(TrayIcon& tray) {
    const QImage shown = imageOf(tray.systemTrayIcon().icon(), 32);
    for (int frame = 0; frame < appicons::kTrayFrames; ++frame) {
        if (shown == imageOf(appicons::trayFrame(frame), 32)) {
            return frame;
        }
    }
    return -1;
}

// The frames that steps of the animation timer show; -1 for a step whose
// pixels on the tray disagree with frameShown().
QList<int> stepFrames(TrayIcon& tray, int steps) {
    QList<int> frames;
    for (int i = 0; i < steps; ++i) {
        tray.animationStep();
        const int shown = frameOnTray(tray);
        frames << (shown == tray.frameShown() ? shown : -1);
    }
    return frames;
}

// A download session that retrieves mail and is still open.
void mailArriving(SessionGate& state) {
    const std::atomic<bool> stop{false};
    state.beginSession(stop, std::chrono::milliseconds(1));
    state.newMailArrived = true;
}

}  // namespace

class TrayTest : public QObject {
    Q_OBJECT

  private slots:
    void addShowsTheRestingIconWithTheFirstTipAndRemoveHidesIt() {
        UiFixture fixture;
        TrayIcon tray(fixture.objects().sessionGate);
        tray.add();
        QVERIFY(tray.systemTrayIcon().isVisible());
        QCOMPARE(frameOnTray(tray), 0);
        QCOMPARE(tray.toolTip(),
                 QStringLiteral("  Glimmerfen!\n Double Click, or\n Right Click for Menu"));
        tray.remove();
        QVERIFY(!tray.systemTrayIcon().isVisible());
        QCOMPARE(tray.toolTip(), QString());
    }

    void withoutTheFileTheIconNeverMoves() {
        UiFixture fixture;
        SessionGate& state = fixture.objects().sessionGate;
        TrayIcon tray(state);
        tray.add();
        QVERIFY(!tray.animateFlag());
        QVERIFY(!tray.menu()->actions().at(0)->isChecked());
        mailArriving(state);
        tray.listTick();
        QVERIFY(tray.isAnimating());
        QCOMPARE(stepFrames(tray, 6), QList<int>({0, 0, 0, 0, 0, 0}));
        QCOMPARE(tray.toolTip(),
                 QStringLiteral("  Glimmerfen!\n Double Click, or\n right click for menu"));
        QVERIFY(!QFile::exists(QStringLiteral("Anim.bin")));
    }

    void animationSwingsThroughTheFramesAndResumesWhereItStopped() {
        UiFixture fixture;
        writeWholeFile("Anim.bin", kAnimOn);
        SessionGate& state = fixture.objects().sessionGate;
        TrayIcon tray(state);
        tray.add();
        QCOMPARE(stepFrames(tray, 6), QList<int>({1, 2, 1, 0, 1, 2}));

        // Stopped at frame 2 going up: the next run turns back down.
        mailArriving(state);
        tray.listTick();
        state.endSession();
        tray.listTick();
        tray.listTick();
        QVERIFY(!tray.isAnimating());
        QCOMPARE(frameOnTray(tray), 0);
        QCOMPARE(stepFrames(tray, 3), QList<int>({1, 0, 1}));
    }

    void switchingTheFlagWhileRunningTakesEffectAtTheNextStep() {
        UiFixture fixture;
        writeWholeFile("Anim.bin", kAnimOn);
        TrayIcon tray(fixture.objects().sessionGate);
        tray.add();
        QCOMPARE(stepFrames(tray, 2), QList<int>({1, 2}));
        tray.toggleAnimate();
        // Off shows the resting icon and leaves the swing where it was.
        QCOMPARE(stepFrames(tray, 2), QList<int>({0, 0}));
        tray.toggleAnimate();
        QCOMPARE(stepFrames(tray, 2), QList<int>({1, 0}));
    }

    void theTimerDrivesTheFrames() {
        UiFixture fixture;
        writeWholeFile("Anim.bin", kAnimOn);
        SessionGate& state = fixture.objects().sessionGate;
        TrayIcon tray(state);
        tray.add();
        mailArriving(state);
        tray.listTick();
        QTRY_COMPARE_WITH_TIMEOUT(frameOnTray(tray), 2, kLong);
    }

    void animationSettlesOnTheSecondTickAfterTheSession() {
        UiFixture fixture;
        writeWholeFile("Anim.bin", kAnimOn);
        SessionGate& state = fixture.objects().sessionGate;
        TrayIcon tray(state);
        tray.add();

        tray.listTick();
        QVERIFY2(!tray.isAnimating(), "no mail, no animation");

        mailArriving(state);
        for (int tick = 0; tick < 5; ++tick) {
            tray.listTick();
            QVERIFY2(tray.isAnimating(), "runs while the session lasts");
        }
        tray.animationStep();
        QCOMPARE(tray.frameShown(), 1);

        state.endSession();
        tray.listTick();
        QVERIFY(tray.isAnimating());
        QVERIFY(state.newMailArrived);
        tray.listTick();
        QVERIFY(!tray.isAnimating());
        QVERIFY(!state.newMailArrived);
        QCOMPARE(frameOnTray(tray), 0);

        // The counter starts afresh for the next session.
        mailArriving(state);
        tray.listTick();
        state.endSession();
        tray.listTick();
        QVERIFY(tray.isAnimating());
        tray.listTick();
        QVERIFY(!tray.isAnimating());
    }

    void aSessionOverBeforeTheFirstTickStillAnimatesForOneTick() {
        UiFixture fixture;
        SessionGate& state = fixture.objects().sessionGate;
        TrayIcon tray(state);
        state.newMailArrived = true;
        tray.listTick();
        QVERIFY(tray.isAnimating());
        tray.listTick();
        QVERIFY(!tray.isAnimating());
        QVERIFY(!state.newMailArrived);
    }

    void togglingWritesTheFileAndTheNextStartReadsIt() {
        UiFixture fixture;
        SessionGate& state = fixture.objects().sessionGate;
        {
            TrayIcon tray(state);
            QAction* animate = tray.menu()->actions().at(0);
            animate->trigger();
            QVERIFY(tray.animateFlag());
            QVERIFY(animate->isChecked());
            QCOMPARE(readWholeFile("Anim.bin"), kAnimOn);
        }
        {
            TrayIcon tray(state);
            QVERIFY(tray.animateFlag());
            QVERIFY(tray.menu()->actions().at(0)->isChecked());
            tray.toggleAnimate();
            QVERIFY(!tray.menu()->actions().at(0)->isChecked());
            QCOMPARE(readWholeFile("Anim.bin"), kAnimOff);
        }
        TrayIcon tray(state);
        QVERIFY(!tray.animateFlag());
        QVERIFY(!tray.menu()->actions().at(0)->isChecked());
    }

    void aFailedWriteKeepsTheChoiceForThisRun() {
        UiFixture fixture;
        QVERIFY(QDir().mkdir(QStringLiteral("Anim.bin")));
        QVERIFY(!AnimSetting::write(true));
        TrayIcon tray(fixture.objects().sessionGate);
        QVERIFY(!tray.animateFlag());
        tray.toggleAnimate();
        QVERIFY(tray.animateFlag());
        QVERIFY(tray.menu()->actions().at(0)->isChecked());
        QCOMPARE(stepFrames(tray, 1), QList<int>({1}));
    }

    void fileContentsGiveTheFlag_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("animate");
        QTest::newRow("one") << QByteArray("\x01\x00\x00\x00", 4) << true;
        QTest::newRow("zero") << QByteArray("\x00\x00\x00\x00", 4) << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("one byte of 1") << QByteArray("\x01", 1) << true;
        QTest::newRow("two bytes of 1") << QByteArray("\x01\x00", 2) << true;
        QTest::newRow("nine bytes, 1 first")
            << QByteArray("\x01\x00\x00\x00\x02\x00\x00\x00\xff", 9) << true;
        QTest::newRow("nine bytes, 0 first")
            << QByteArray("\x00\x00\x00\x00\x01\x00\x00\x00\x01", 9) << false;
        QTest::newRow("two") << QByteArray("\x02\x00\x00\x00", 4) << false;
        QTest::newRow("1 in a higher byte") << QByteArray("\x01\x00\x00\x01", 4) << false;
        QTest::newRow("all ones") << QByteArray("\xff\xff\xff\xff", 4) << false;
    }

    void fileContentsGiveTheFlag() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, animate);
        UiFixture fixture;
        writeWholeFile("Anim.bin", bytes.toStdString());
        QCOMPARE(AnimSetting::read(), animate);
        TrayIcon tray(fixture.objects().sessionGate);
        QCOMPARE(tray.animateFlag(), animate);
        QCOMPARE(tray.menu()->actions().at(0)->isChecked(), animate);
        QCOMPARE(stepFrames(tray, 1), QList<int>({animate ? 1 : 0}));
    }

    void anUnreadableFileMeansNoAnimation() {
        UiFixture fixture;
        QVERIFY(!AnimSetting::read());
        QVERIFY(QDir().mkdir(QStringLiteral("Anim.bin")));
        QVERIFY(!AnimSetting::read());
    }

    void theTipNamesHowManyAccountsAreServed() {
        UiFixture fixture;
        TrayIcon tray(fixture.objects().sessionGate);
        tray.add();
        tray.setAccountsServed(3);
        QCOMPARE(
            tray.toolTip(),
            QStringLiteral("Glimmerfen: 3 accounts\n Double Click, or\n Right Click for Menu"));
        tray.animationStep();
        QCOMPARE(
            tray.toolTip(),
            QStringLiteral("Glimmerfen: 3 accounts\n Double Click, or\n right click for menu"));
        // The most accounts there can be still fit the shell's room whole.
        tray.setAccountsServed(16);
        QCOMPARE(tray.toolTip().size(), TrayIcon::kMaxTipLength);
        QVERIFY(tray.toolTip().endsWith("menu"));
        tray.setAccountsServed(1);
        QCOMPARE(tray.toolTip(), TrayIcon::kLaterTip);
        tray.setAccountsServed(0);
        QCOMPARE(tray.toolTip(), TrayIcon::kLaterTip);
        tray.remove();
        tray.setAccountsServed(2);
        QCOMPARE(tray.toolTip(), QString());
    }

    void tipsAreCutTo63Characters() {
        const QString seventy(70, QLatin1Char('x'));
        QCOMPARE(TrayIcon::cutTip(seventy), seventy.left(63));
        const QString sixtyThree(63, QLatin1Char('y'));
        QCOMPARE(TrayIcon::cutTip(sixtyThree), sixtyThree);
        QCOMPARE(TrayIcon::cutTip(TrayIcon::kFirstTip), TrayIcon::kFirstTip);
        // A character outside the basic plane straddling the limit goes whole.
        const QString straddling = QString(62, QLatin1Char('z')) +
                                   QString::fromUtf8("\xF0\x9F\x93\xA7") + QStringLiteral("tail");
        QCOMPARE(TrayIcon::cutTip(straddling), QString(62, QLatin1Char('z')));
    }

    void theMenuHoldsItsThreeItems() {
        UiFixture fixture;
        TrayIcon tray(fixture.objects().sessionGate);
        QCOMPARE(tray.systemTrayIcon().contextMenu(), tray.menu());
        const QList<QAction*> actions = tray.menu()->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("&Animate Tray Icon"));
        QCOMPARE(actions.at(1)->text(), QStringLiteral("&Expand Window"));
        QCOMPARE(actions.at(2)->text(), QStringLiteral("E&xit"));
        QVERIFY(actions.at(0)->isCheckable());
        QVERIFY(!actions.at(1)->isCheckable());
        QVERIFY(!actions.at(2)->isCheckable());
    }

    void menuAndDoubleClickAskTheFrame() {
        UiFixture fixture;
        TrayIcon tray(fixture.objects().sessionGate);
        QSignalSpy expand(&tray, &TrayIcon::expandRequested);
        QSignalSpy exit(&tray, &TrayIcon::exitRequested);
        const QList<QAction*> actions = tray.menu()->actions();

        actions.at(1)->trigger();
        QCOMPARE(expand.count(), 1);
        QCOMPARE(exit.count(), 0);

        actions.at(2)->trigger();
        QCOMPARE(exit.count(), 1);
        QCOMPARE(expand.count(), 1);

        for (auto reason :
             {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick}) {
            emit tray.systemTrayIcon().activated(reason);
        }
        QCOMPARE(expand.count(), 1);
        emit tray.systemTrayIcon().activated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(expand.count(), 2);
        QCOMPARE(exit.count(), 1);
    }

    void theFramesAreDistinctAtEveryTraySize() {
        for (const int size : {16, 22, 32}) {
            const QImage frames[] = {imageOf(appicons::trayFrame(0), size),
                                     imageOf(appicons::trayFrame(1), size),
                                     imageOf(appicons::trayFrame(2), size)};
            for (const QImage& frame : frames) {
                QCOMPARE(frame.size(), QSize(size, size));
                // Drawn, not blank: some pixels are fully opaque.
                int opaque = 0;
                for (int y = 0; y < size; ++y) {
                    for (int x = 0; x < size; ++x) {
                        opaque += qAlpha(frame.pixel(x, y)) == 255;
                    }
                }
                QVERIFY2(opaque > size * size / 4, qPrintable(QString::number(size)));
            }
            QVERIFY(frames[0] != frames[1]);
            QVERIFY(frames[1] != frames[2]);
            QVERIFY(frames[0] != frames[2]);
        }
        const QIcon app = appicons::applicationIcon();
        QVERIFY(!app.isNull());
        QVERIFY(imageOf(app, 32) != imageOf(appicons::trayFrame(0), 32));
    }
};

GLIMMERFEN_UI_TEST_MAIN(TrayTest)
#include "tst_tray.moc"
