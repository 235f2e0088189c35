#include <filesystem>
#include <memory>

#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "ui/BayesPanel.h"

namespace {

constexpr int kLong = 20000;

// The panel over a fixture's objects, opened on a given state byte, with its
// two switches and a record of the status texts the resolver asks for.
struct Panel {
    Panel(UiFixture& ui, unsigned char state) : ui(ui) {
        ui.store().setHarrowgleamState(state);
        panel = std::make_unique<CBayesPanel>(ui.context());
        panel->show();
        ready = QTest::qWaitForWindowExposed(panel.get());
        spamhaus = panel->findChild<QComboBox*>(QStringLiteral("spamhaus"));
        spamcop = panel->findChild<QComboBox*>(QStringLiteral("spamcop"));
    }

    int stored() { return ui.store().getHarrowgleamState(); }
    // The status texts requested so far, the newest last.
    QStringList statusTexts() const {
        QStringList texts;
        for (const QList<QVariant>& call : status) {
            if (call.at(0).value<StatusPane>() == StatusPane::Dnsbl) {
                texts << call.at(1).toString();
            }
        }
        return texts;
    }

    UiFixture& ui;
    QSignalSpy status{&ui.desktop(), &QtDesktop::statusTextRequested};
    std::unique_ptr<CBayesPanel> panel;
    bool ready = false;
    QComboBox* spamhaus = nullptr;
    QComboBox* spamcop = nullptr;
};

}  // namespace

class DnsblPanelTest : public QObject {
    Q_OBJECT

  private slots:
    void opensOnTheStoredSwitches_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::newRow("filter only") << 1 << 0 << 0;
        QTest::newRow("first list") << 3 << 1 << 0;
        QTest::newRow("second list") << 4 << 0 << 1;
        QTest::newRow("everything") << 7 << 1 << 1;
        QTest::newRow("foreign bits only") << 0xF8 << 0 << 0;
    }
    void opensOnTheStoredSwitches() {
        QFETCH(int, state);
        QFETCH(int, first);
        QFETCH(int, second);
        UiFixture ui;
        Panel p(ui, static_cast<unsigned char>(state));
        QVERIFY(p.ready);
        QCOMPARE(p.panel->windowTitle(), QStringLiteral("DNSBL Panel"));
        QCOMPARE(p.panel->findChild<QGroupBox*>()->title(), QStringLiteral("DNS Block Lists"));
        QCOMPARE(p.spamhaus->itemText(0), QStringLiteral("Off"));
        QCOMPARE(p.spamhaus->itemText(1), QStringLiteral("Spamhaus SBL-XBL"));
        QCOMPARE(p.spamcop->itemText(0), QStringLiteral("Off"));
        QCOMPARE(p.spamcop->itemText(1), QStringLiteral("SpamCop"));
        auto* close = p.panel->findChild<QPushButton*>(QStringLiteral("close"));
        QCOMPARE(close->text(), QStringLiteral("Close"));
        QVERIFY(close->isDefault());

        QCOMPARE(p.spamhaus->currentIndex(), first);
        QCOMPARE(p.spamcop->currentIndex(), second);
        // Opening is only looking: nothing is written or switched.
        QCoreApplication::processEvents();
        QCOMPARE(p.stored(), state);
        QVERIFY(p.status.isEmpty());
    }

    void theSecondListIsBitFour() {
        UiFixture ui;
        Panel p(ui, 1);
        QVERIFY(p.ready);
        QTest::keyClick(p.spamcop, Qt::Key_Down);
        QCOMPARE(p.stored(), 5);
        QTRY_COMPARE_WITH_TIMEOUT(p.statusTexts(), QStringList{QStringLiteral("DNSBL ON")}, kLong);
        QVERIFY(ui.objects().resolver.spamcopEnabled());
        QVERIFY(!ui.objects().resolver.spamhausEnabled());

        QTest::keyClick(p.spamcop, Qt::Key_Up);
        QCOMPARE(p.stored(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(
            p.statusTexts(), (QStringList{QStringLiteral("DNSBL ON"), QStringLiteral("DNSBL OFF")}),
            kLong);
        QVERIFY(!ui.objects().resolver.spamcopEnabled());
    }

    // The other list keeps the status on; the filter's bit and bits of no list
    // are never touched.
    void theFirstListIsBitTwo_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("afterOff");
        QTest::newRow("nothing else on") << 0 << QStringLiteral("DNSBL OFF");
        QTest::newRow("filter on") << 1 << QStringLiteral("DNSBL OFF");
        QTest::newRow("second list on") << 5 << QStringLiteral("DNSBL ON");
        QTest::newRow("foreign bits") << 0xF9 << QStringLiteral("DNSBL OFF");
    }
    void theFirstListIsBitTwo() {
        QFETCH(int, state);
        QFETCH(QString, afterOff);
        UiFixture ui;
        Panel p(ui, static_cast<unsigned char>(state));
        QVERIFY(p.ready);
        QTest::keyClick(p.spamhaus, Qt::Key_Down);
        QCOMPARE(p.stored(), state | 2);
        QTRY_COMPARE_WITH_TIMEOUT(p.statusTexts().size(), 1, kLong);
        QCOMPARE(p.statusTexts().back(), QStringLiteral("DNSBL ON"));
        QVERIFY(ui.objects().resolver.spamhausEnabled());

        QTest::keyClick(p.spamhaus, Qt::Key_Up);
        QCOMPARE(p.stored(), state);
        QTRY_COMPARE_WITH_TIMEOUT(p.statusTexts().size(), 2, kLong);
        QCOMPARE(p.statusTexts().back(), afterOff);
        QVERIFY(!ui.objects().resolver.spamhausEnabled());
        QCOMPARE(ui.objects().resolver.spamcopEnabled(), (state & 4) != 0);
    }

    // The filter's switch may change while the panel is open; a list switch
    // must not write back the byte the panel opened with.
    void eachSwitchReadsTheStoredByteAgain() {
        UiFixture ui;
        Panel p(ui, 0);
        QVERIFY(p.ready);
        ui.store().setHarrowgleamState(1);
        QTest::keyClick(p.spamcop, Qt::Key_Down);
        QCOMPARE(p.stored(), 5);
    }

    void aStoreThatCannotBeReadLeavesTheSwitchAsItWas() {
        UiFixture ui;
        Panel p(ui, 4);
        QVERIFY(p.ready);
        const std::string store = ui.store().fileName();
        std::filesystem::rename(store, store + ".away");
        QTest::keyClick(p.spamcop, Qt::Key_Up);
        QCOMPARE(ui.prompter().told.size(), 1);
        QCOMPARE(p.spamcop->currentIndex(), 1);
        std::filesystem::rename(store + ".away", store);
        QCOMPARE(p.stored(), 4);
        QCoreApplication::processEvents();
        QVERIFY(p.status.isEmpty());
    }

    void closeEndsThePanelAndKeepsTheSwitches() {
        UiFixture ui;
        ui.store().setHarrowgleamState(1);
        CBayesPanel panel(ui.context());
        bool switched = false;
        ModalWatch watch([&](QWidget* modal) {
            if (modal != &panel) {
                return false;
            }
            if (!switched) {
                switched = true;
                QTest::keyClick(panel.findChild<QComboBox*>(QStringLiteral("spamhaus")),
                                Qt::Key_Down);
                return false;
            }
            QTest::mouseClick(panel.findChild<QPushButton*>(QStringLiteral("close")),
                              Qt::LeftButton);
            return true;
        });
        QCOMPARE(panel.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
        QCOMPARE(int(ui.store().getHarrowgleamState()), 3);
        QVERIFY(ui.objects().resolver.spamhausEnabled());
    }
};

GLIMMERFEN_UI_TEST_MAIN(DnsblPanelTest)
#include "tst_dnsblpanel.moc"
