#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QToolButton>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "diag/Error.h"
#include "ui/Prompter.h"
#include "ui/ScheduelFilterBuild.h"

namespace {

const QString kHourMessage = QStringLiteral("Must Enter integer between 1 and 12 for hour");
const QString kMinuteMessage = QStringLiteral("Must Enter integer between 0 and 60 for minute");
const char* const kScheduleFile = "timeData.bin";
const std::array<const char*, 7> kDays = {"monday", "tuesday",  "wednesday", "thursday",
                                          "friday", "saturday", "sunday"};

std::string littleEndian(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return bytes;
}

// The whole file as the panel would write it: ten schedule bytes, then the
// last build's accuracy and email count.
std::string scheduleFile(const std::string& tenBytes, float accuracy, std::int32_t count) {
    return tenBytes + littleEndian(std::bit_cast<std::uint32_t>(accuracy)) +
           littleEndian(static_cast<std::uint32_t>(count));
}

void writeScheduleFile(const std::string& bytes) {
    std::ofstream(kScheduleFile, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readScheduleFile() {
    std::ifstream in(kScheduleFile, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The panel shown as the frame shows it, with its controls found by name.
class Panel {
  public:
    explicit Panel(ViewContext& context) : dialog(context) { dialog.show(); }

    template <typename Widget>
    Widget* get(const char* name) {
        auto* widget = dialog.findChild<Widget*>(QLatin1String(name));
        if (widget == nullptr) {
            qFatal("the panel has no control named %s", name);
        }
        return widget;
    }
    QString text(const char* edit) { return get<QLineEdit>(edit)->text(); }
    void type(const char* edit, const QString& text) {
        get<QLineEdit>(edit)->clear();
        QTest::keyClicks(get<QLineEdit>(edit), text);
    }
    void click(const char* name) {
        auto* button = get<QAbstractButton>(name);
        // A check box takes clicks on its box and label only, not on the
        // blank the layout may leave to their right.
        const QPoint at = qobject_cast<QCheckBox*>(button) != nullptr
                              ? QPoint(button->height() / 2, button->height() / 2)
                              : button->rect().center();
        QTest::mouseClick(button, Qt::LeftButton, {}, at);
    }
    QString filterButton() { return get<QPushButton>("filterButton")->text(); }
    QString accuracy() { return get<QPlainTextEdit>("accuracy")->toPlainText(); }
    QList<bool> days() {
        QList<bool> checked;
        for (const char* day : kDays) {
            checked << get<QCheckBox>(day)->isChecked();
        }
        return checked;
    }
    void check(const QList<bool>& days) {
        for (qsizetype day = 0; day < days.size(); ++day) {
            if (get<QCheckBox>(kDays[day])->isChecked() != days[day]) {
                click(kDays[day]);
            }
        }
    }
    bool closedWith(QDialog::DialogCode code) {
        return !dialog.isVisible() && dialog.result() == code;
    }

    CScheduelFilterBuild dialog;
};

void clickLater(QAbstractButton* button) {
    QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

}  // namespace

class BuildPanelTest : public QObject {
    Q_OBJECT

  private slots:
    // ---- what the panel shows when it opens ----

    void aMissingFileShowsTwelveAmNoDaysAndNoResult() {
        UiFixture f;
        Panel p(f.context());
        QCOMPARE(p.dialog.windowTitle(), QStringLiteral("Bayes Auto-Filter Build Panel"));
        QCOMPARE(p.text("hour"), QStringLiteral("12"));
        QCOMPARE(p.text("minute"), QStringLiteral("0"));
        QCOMPARE(p.get<QComboBox>("amPm")->currentText(), QStringLiteral("AM"));
        QCOMPARE(p.days(), QList<bool>(7, false));
        QCOMPARE(p.text("buildRequest"), QStringLiteral("OFF"));
        QVERIFY(p.get<QLineEdit>("buildRequest")->isReadOnly());
        QCOMPARE(p.accuracy(), QStringLiteral("Filter's Accuracy:\n 0.00% for 0 emails."));
        QVERIFY(p.get<QPlainTextEdit>("accuracy")->isReadOnly());
    }

    void aStoredFileShowsItsScheduleAndResult() {
        UiFixture f;
        // Tuesday and Saturday at 9:05 PM.
        writeScheduleFile(scheduleFile(std::string("\x00\x01\x00\x00\x00\x01\x00\x09\x05\x01", 10),
                                       0.9712f, 520));
        Panel p(f.context());
        QCOMPARE(p.days(), QList<bool>({false, true, false, false, false, true, false}));
        QCOMPARE(p.text("hour"), QStringLiteral("9"));
        QCOMPARE(p.text("minute"), QStringLiteral("5"));
        QCOMPARE(p.get<QComboBox>("amPm")->currentText(), QStringLiteral("PM"));
        QCOMPARE(p.accuracy(), QStringLiteral("Filter's Accuracy:\n 97.12% for 520 emails."));
        QCOMPARE(p.get<QPlainTextEdit>("accuracy")->document()->blockCount(), 2);
    }

    void aBuildWithTooFewEmailsIsExplained() {
        UiFixture f;
        writeScheduleFile(
            scheduleFile(std::string("\x00\x00\x00\x00\x00\x00\x00\x0c\x00\x00", 10), 0.0f, -1));
        Panel p(f.context());
        QCOMPARE(p.accuracy(), QStringLiteral("Filter Can't Be Built:\nYou must supply 10 or more "
                                              "emails to\n the folders \"Store Good\" and \"Store "
                                              "Bad\" each."));
        QCOMPARE(p.get<QPlainTextEdit>("accuracy")->document()->blockCount(), 3);
    }

    // ---- OK ----

    void okRefusesAnHourOutsideOneToTwelve_data() {
        QTest::addColumn<QString>("hour");
        QTest::newRow("zero") << QStringLiteral("0");
        QTest::newRow("thirteen") << QStringLiteral("13");
        QTest::newRow("letters") << QStringLiteral("abc");
        QTest::newRow("empty") << QString();
    }
    void okRefusesAnHourOutsideOneToTwelve() {
        QFETCH(QString, hour);
        UiFixture f;
        Panel p(f.context());
        p.click("monday");
        p.type("hour", hour);
        p.type("minute", QStringLiteral("99"));  // the hour is checked first
        p.click("ok");
        QCOMPARE(f.prompter().told, QStringList{kHourMessage});
        QCOMPARE(p.text("hour"), hour);  // what was typed stays for the user to correct
        QVERIFY(p.dialog.isVisible());
        QVERIFY(!std::filesystem::exists(kScheduleFile));
        QCOMPARE(f.objects().schedule.scheduleTimes()[1], -1);
    }

    void okRefusesMinuteSixtyOneAndTakesSixty() {
        UiFixture f;
        const std::string before =
            scheduleFile(std::string("\x01\x00\x00\x00\x00\x00\x00\x02\x1e\x00", 10), 0.5f, 40);
        writeScheduleFile(before);
        Panel p(f.context());
        p.type("minute", QStringLiteral("61"));
        p.click("ok");
        QCOMPARE(f.prompter().told, QStringList{kMinuteMessage});
        QVERIFY(p.dialog.isVisible());
        QCOMPARE(readScheduleFile(), before);

        p.type("minute", QStringLiteral("60"));
        p.click("ok");
        QCOMPARE(f.prompter().told, QStringList{kMinuteMessage});
        QVERIFY(p.closedWith(QDialog::Accepted));
        QCOMPARE(readScheduleFile()[8], '\x3c');
    }

    void okWritesTheWholeScheduleFile() {
        UiFixture f;
        writeScheduleFile(scheduleFile(std::string(10, '\0'), 0.9712f, 520));
        Panel p(f.context());
        p.check({true, false, true, false, false, false, true});
        p.type("hour", QStringLiteral("11"));
        p.type("minute", QStringLiteral("45"));
        p.get<QComboBox>("amPm")->setCurrentIndex(1);
        p.click("ok");
        QVERIFY(f.prompter().told.isEmpty());
        QVERIFY(p.closedWith(QDialog::Accepted));
        // The last build's result goes back as it was read.
        QCOMPARE(readScheduleFile(),
                 scheduleFile(std::string("\x01\x00\x01\x00\x00\x00\x01\x0b\x2d\x01", 10), 0.9712f,
                              520));
        QCOMPARE(f.objects().schedule.scheduleTimes()[0], 23 * 60 + 45);  // Sunday
    }

    void cancelSavesNothing() {
        UiFixture f;
        Panel p(f.context());
        p.click("friday");
        p.type("hour", QStringLiteral("3"));
        p.click("buildNow");
        p.click("cancel");
        QVERIFY(p.closedWith(QDialog::Rejected));
        QVERIFY(!std::filesystem::exists(kScheduleFile));
        QVERIFY(!f.objects().schedule.buildNowPending());
    }

    // A real message box, as the program shows it, over the modal panel.
    void aRefusedOkKeepsTheModalPanelOpenBehindItsMessage() {
        UiFixture f;
        MessageBoxPrompter boxes;
        ViewContext context{f.objects(), f.desktop(), boxes};
        CScheduelFilterBuild dialog(context);
        auto* hour = dialog.findChild<QLineEdit*>(QStringLiteral("hour"));
        auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("ok"));
        QStringList seen;
        int step = 0;
        ModalWatch watch([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                seen << box->text();
                box->button(QMessageBox::Ok)->click();
                return false;
            }
            if (modal != &dialog) {
                return false;
            }
            if (step == 0) {
                hour->setText(QStringLiteral("13"));
                clickLater(ok);
                step = 1;
            } else if (step == 1 && !seen.isEmpty()) {
                seen << (dialog.isVisible() ? QStringLiteral("still open")
                                            : QStringLiteral("gone"));
                hour->setText(QStringLiteral("7"));
                clickLater(ok);
                return true;
            }
            return false;
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
        QCOMPARE(seen, QStringList({kHourMessage, QStringLiteral("still open")}));
        QCOMPARE(f.objects().schedule.bytes().hour, 7);
    }

    // ---- the hour and minute buttons ----

    void theArrowsStepWithinTheRange() {
        UiFixture f;
        Panel p(f.context());
        p.click("hourUp");
        QCOMPARE(p.text("hour"), QStringLiteral("12"));
        p.click("hourDown");
        QCOMPARE(p.text("hour"), QStringLiteral("11"));
        p.type("hour", QStringLiteral("abc"));
        p.click("hourUp");
        QCOMPARE(p.text("hour"), QStringLiteral("1"));
        p.click("hourDown");
        QCOMPARE(p.text("hour"), QStringLiteral("1"));

        p.click("minuteDown");
        QCOMPARE(p.text("minute"), QStringLiteral("0"));
        p.type("minute", QStringLiteral("59"));
        QTest::keyClick(p.get<QLineEdit>("minute"), Qt::Key_Up);
        QCOMPARE(p.text("minute"), QStringLiteral("60"));
        p.click("minuteUp");
        QCOMPARE(p.text("minute"), QStringLiteral("60"));
        QTest::keyClick(p.get<QLineEdit>("minute"), Qt::Key_Down);
        QCOMPARE(p.text("minute"), QStringLiteral("59"));
        QVERIFY(f.prompter().told.isEmpty());
    }

    // ---- Build Now ----

    void buildNowTogglesAndOkPassesTheRequestOn() {
        UiFixture f;
        Panel p(f.context());
        p.click("buildNow");
        QCOMPARE(p.text("buildRequest"), QStringLiteral("ON - Builds on Exit"));
        p.click("buildNow");
        QCOMPARE(p.text("buildRequest"), QStringLiteral("OFF"));
        p.click("buildNow");
        QCOMPARE(p.text("buildRequest"), QStringLiteral("ON - Builds on Exit"));
        QVERIFY(!f.objects().schedule.buildNowPending());
        p.click("ok");
        QVERIFY(p.closedWith(QDialog::Accepted));
        QVERIFY(f.objects().schedule.buildNowPending());
    }

    // ---- the filter switch ----

    void theFilterCannotBeSwitchedOnWithoutATable() {
        UiFixture f;
        f.store().setHarrowgleamState(6);
        Panel p(f.context());
        QCOMPARE(p.filterButton(), QStringLiteral("Filter OFF"));
        p.click("filterButton");
        QCOMPARE(f.prompter().told, QStringList{QStringLiteral("Must Create a Filter First")});
        QCOMPARE(p.filterButton(), QStringLiteral("Filter OFF"));
        QVERIFY(!f.objects().bayes.isEnabled());
        QCOMPARE(f.store().getHarrowgleamState(), 6);
        QVERIFY(p.dialog.isVisible());
    }

    void theFilterSwitchTakesEffectAtOnceEvenOnCancel() {
        UiFixture f;
        f.trainFilter("cheap pills casino winner", "meeting agenda minutes project");
        f.store().setHarrowgleamState(4);
        {
            Panel p(f.context());
            QCOMPARE(p.filterButton(), QStringLiteral("Filter OFF"));
            QVERIFY(!f.objects().bayes.isEnabled());
            p.click("filterButton");
            QCOMPARE(p.filterButton(), QStringLiteral("Filter ON"));
            QVERIFY(f.objects().bayes.isEnabled());
            QCOMPARE(f.store().getHarrowgleamState(), 5);
            p.click("cancel");
            QVERIFY(p.closedWith(QDialog::Rejected));
        }
        QCOMPARE(f.store().getHarrowgleamState(), 5);
        QVERIFY(f.objects().bayes.isEnabled());
        {
            Panel p(f.context());
            QCOMPARE(p.filterButton(), QStringLiteral("Filter ON"));
            p.click("filterButton");
            QCOMPARE(p.filterButton(), QStringLiteral("Filter OFF"));
            QCOMPARE(f.store().getHarrowgleamState(), 4);
            p.click("cancel");
        }
        QCOMPARE(f.store().getHarrowgleamState(), 4);
        QVERIFY(!f.objects().bayes.isEnabled());
        QVERIFY(f.prompter().told.isEmpty());
    }

    // ---- store failures ----

    void aStoreErrorFromTheFilterButtonIsShownByThePanel() {
        UiFixture f;
        f.trainFilter("cheap pills casino winner", "meeting agenda minutes project");
        f.store().setHarrowgleamState(1);
        Panel p(f.context());
        QCOMPARE(std::rename("HGIndex.hgd", "elsewhere.hgd"), 0);
        p.click("filterButton");
        QCOMPARE(std::rename("elsewhere.hgd", "HGIndex.hgd"), 0);
        QCOMPARE(f.prompter().told.size(), 1);
        QVERIFY2(f.prompter().told.front().startsWith(QStringLiteral("Error: Can't Open Database")),
                 qPrintable(f.prompter().told.front()));
        QCOMPARE(p.filterButton(), QStringLiteral("Filter ON"));
        QVERIFY(f.objects().bayes.isEnabled());
        QCOMPARE(f.store().getHarrowgleamState(), 1);
        QVERIFY(p.dialog.isVisible());
    }

    void aStoreErrorWhileOpeningReachesTheFrame() {
        UiFixture f;
        QCOMPARE(std::rename("HGIndex.hgd", "elsewhere.hgd"), 0);
        QVERIFY_THROWS_EXCEPTION(CError, CScheduelFilterBuild(f.context()));
        QCOMPARE(std::rename("elsewhere.hgd", "HGIndex.hgd"), 0);
        QVERIFY(f.prompter().told.isEmpty());
    }

    void aScheduleThatCannotBeWrittenKeepsThePanelOpen() {
        UiFixture f;
        Panel p(f.context());
        std::filesystem::create_directory(kScheduleFile);
        p.click("tuesday");
        p.click("ok");
        QCOMPARE(f.prompter().told,
                 QStringList{QStringLiteral("Can't Save the Schedule to \"timeData.bin\"")});
        QVERIFY(p.dialog.isVisible());
        QCOMPARE(f.objects().schedule.scheduleTimes()[2], -1);
    }
};

GLIMMERFEN_UI_TEST_MAIN(BuildPanelTest)
#include "tst_buildpanel.moc"
