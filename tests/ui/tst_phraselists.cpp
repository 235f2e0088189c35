#include <filesystem>
#include <memory>

#include <QComboBox>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "ui/BlackListDlg.h"
#include "ui/WhiteListDlg.h"

namespace {

constexpr int kLong = 20000;

const QString kUpdate = QStringLiteral("Do You Want To Update The List?");
const QString kExit = QStringLiteral("Changes have been made.  Exit without saving?");
const QString kEditQuestion = QStringLiteral("Are you sure you want to edit the selected item?");
const QString kDeleteQuestion =
    QStringLiteral("Are you sure you want to delete the selected item?");

// Three entries, one for each field, stored the way an earlier session left them.
const ListRows kStored = {{"free", "From", "Insensitive"},
                          {"Offer", "Subject", "Sensitive"},
                          {"me@example.org", "To", "Insensitive"}};

// Writes the list file through an object of its own, so a dialog that shows
// these rows must have read the file.
bool storeRows(const std::string& file, const ListRows& rows) {
    FilterList writer(file);
    return writer.replaceFromList(rows);
}

std::vector<FilterListEntry> storedEntries(const std::string& file) {
    FilterList reader(file);
    reader.load();
    return reader.entries();
}

// One of the two dialogs over the fixture's lists, shown as the frame shows
// it, with the controls a user works with.
struct ListDialog {
    ListDialog(UiFixture& ui, bool black)
        : list(black ? ui.objects().blackList : ui.objects().whiteList),
          otherFile(black ? ui.objects().whiteList.fileName() : ui.objects().blackList.fileName()) {
        if (black) {
            dialog = std::make_unique<CBlackListDlg>(list, ui.prompter());
        } else {
            dialog = std::make_unique<CWhiteListDlg>(list, ui.prompter());
        }
        dialog->show();
        ready = QTest::qWaitForWindowExposed(dialog.get());
        phrase = dialog->findChild<QLineEdit*>(QStringLiteral("phrase"));
        field = dialog->findChild<QComboBox*>(QStringLiteral("field"));
        caseBox = dialog->findChild<QComboBox*>(QStringLiteral("case"));
        rows = dialog->findChild<QTreeWidget*>(QStringLiteral("list"));
    }

    void click(const char* button) {
        QTest::mouseClick(dialog->findChild<QPushButton*>(QLatin1String(button)), Qt::LeftButton);
    }
    void clickRow(int row) {
        QTest::mouseClick(rows->viewport(), Qt::LeftButton, {},
                          rows->visualItemRect(rows->topLevelItem(row)).center());
    }
    // Replaces the edit box's text as a user does: select all, then type.
    void type(const QString& text) {
        QTest::keyClick(phrase, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(phrase, Qt::Key_Backspace);
        QTest::keyClicks(phrase, text);
    }
    QStringList shownRows() const {
        QStringList shown;
        for (int row = 0; row < rows->topLevelItemCount(); ++row) {
            const QTreeWidgetItem* item = rows->topLevelItem(row);
            shown << item->text(0) + '|' + item->text(1) + '|' + item->text(2);
        }
        return shown;
    }
    bool isOpen() const { return dialog->isVisible(); }
    const std::string& file() const { return list.fileName(); }

    FilterList& list;
    const std::string otherFile;
    std::unique_ptr<PhraseListDialog> dialog;
    bool ready = false;
    QLineEdit* phrase = nullptr;
    QComboBox* field = nullptr;
    QComboBox* caseBox = nullptr;
    QTreeWidget* rows = nullptr;
};

const QStringList kStoredShown = {QStringLiteral("free|From|Insensitive"),
                                  QStringLiteral("Offer|Subject|Sensitive"),
                                  QStringLiteral("me@example.org|To|Insensitive")};

}  // namespace

class PhraseListsTest : public QObject {
    Q_OBJECT

  private:
    // Every behaviour holds for both dialogs; each runs once per list.
    static void bothLists() {
        QTest::addColumn<bool>("black");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("file");
        QTest::newRow("black list")
            << true << QStringLiteral("Black List - for emails you want filtered out")
            << QStringLiteral("blist.bin");
        QTest::newRow("white list")
            << false << QStringLiteral("White List - for emails you don't want filtered out")
            << QStringLiteral("wlist.bin");
    }

  private slots:
    void opensOverTheStoredList_data() { bothLists(); }
    void opensOverTheStoredList() {
        QFETCH(bool, black);
        QFETCH(QString, title);
        QFETCH(QString, file);
        UiFixture ui;
        QVERIFY(storeRows(file.toStdString(), kStored));
        ListDialog d(ui, black);
        QVERIFY(d.ready);

        QCOMPARE(d.dialog->windowTitle(), title);
        QCOMPARE(d.file(), file.toStdString());
        QCOMPARE(d.shownRows(), kStoredShown);
        QCOMPARE(d.list.entries().size(), kStored.size());
        QCOMPARE(d.rows->headerItem()->text(0), QStringLiteral("Filter Phrase"));
        QCOMPARE(d.rows->headerItem()->text(1), QStringLiteral("Field"));
        QCOMPARE(d.rows->headerItem()->text(2), QStringLiteral("Case"));
        QCOMPARE(d.rows->columnWidth(0), 200);
        QCOMPARE(d.rows->columnWidth(1), 50);
        QCOMPARE(d.rows->columnWidth(2), 70);
        QCOMPARE(d.rows->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(d.field->count(), 3);
        QCOMPARE(d.field->itemText(0), QStringLiteral("From"));
        QCOMPARE(d.field->itemText(1), QStringLiteral("Subject"));
        QCOMPARE(d.field->itemText(2), QStringLiteral("To"));
        QCOMPARE(d.caseBox->count(), 2);
        QCOMPARE(d.caseBox->itemText(0), QStringLiteral("Case Insensitive"));
        QCOMPARE(d.caseBox->itemText(1), QStringLiteral("Case Sensitive"));
        QCOMPARE(d.field->currentIndex(), 0);
        QCOMPARE(d.caseBox->currentIndex(), 0);
        QVERIFY(d.dialog->findChild<QPushButton*>(QStringLiteral("ok"))->isDefault());
    }

    void addWithAnEmptyPhraseChangesNothing_data() { bothLists(); }
    void addWithAnEmptyPhraseChangesNothing() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        d.click("add");
        QCOMPARE(d.rows->topLevelItemCount(), 0);
        // Unchanged, so OK neither asks nor writes.
        d.click("ok");
        QVERIFY(!d.isOpen());
        QCOMPARE(d.dialog->result(), int(QDialog::Accepted));
        QVERIFY(ui.prompter().asked.isEmpty());
        QVERIFY(!std::filesystem::exists(file.toStdString()));
    }

    void addCutsTheReadPhraseAndTakesTheDropDowns_data() { bothLists(); }
    void addCutsTheReadPhraseAndTakesTheDropDowns() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        const QString ninety = QStringLiteral("0123456789").repeated(9);
        d.type(ninety);
        QTest::keyClick(d.field, Qt::Key_Down);
        QTest::keyClick(d.field, Qt::Key_Down);
        QTest::keyClick(d.caseBox, Qt::Key_Down);
        QCOMPARE(d.field->currentText(), QStringLiteral("To"));
        d.click("add");
        QCOMPARE(d.shownRows(), QStringList{ninety.left(80) + QStringLiteral("|To|Sensitive")});

        ui.prompter().answer({true});
        d.click("ok");
        QCOMPARE(ui.prompter().asked, QStringList{kUpdate});
        QCOMPARE(ui.prompter().titles, QStringList{Prompter::kTitle});
        QVERIFY(!d.isOpen());
        QCOMPARE(d.dialog->result(), int(QDialog::Accepted));
        const std::vector<FilterListEntry> expected = {
            {ninety.left(80).toStdString(), FilterListEntry::kTo, FilterListEntry::kSensitive}};
        QCOMPARE(storedEntries(file.toStdString()), expected);
        // The proxy rates by the object, not the file: it has the entry too.
        QCOMPARE(d.list.entries(), expected);
        QVERIFY(!std::filesystem::exists(d.otherFile));
    }

    // The file holds bytes and cuts long phrases by bytes: a phrase of two-byte
    // letters is cut to whole letters that fit, and the row shows what is kept.
    void aLongPhraseIsNeverCutInsideALetter() {
        UiFixture ui;
        ListDialog d(ui, true);
        QVERIFY(d.ready);
        // Letters beyond ASCII come in through the input method, as they do
        // from a compose key or a non-English keyboard.
        QInputMethodEvent composed;
        composed.setCommitString(QString(60, QChar(0x00E9)));
        QApplication::sendEvent(d.phrase, &composed);
        QCOMPARE(d.phrase->text().size(), 60);
        d.click("add");
        const QString kept(42, QChar(0x00E9));
        QCOMPARE(d.shownRows(), QStringList{kept + QStringLiteral("|From|Insensitive")});
        ui.prompter().answer({true});
        d.click("ok");
        QVERIFY(!d.isOpen());
        const std::vector<FilterListEntry> expected = {
            {kept.toStdString(), FilterListEntry::kFrom, FilterListEntry::kInsensitive}};
        QCOMPARE(storedEntries(std::string(kBlackListFile)), expected);
    }

    void showRowFillsTheEditAndBothDropDowns_data() { bothLists(); }
    void showRowFillsTheEditAndBothDropDowns() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        QVERIFY(storeRows(file.toStdString(), kStored));
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        d.clickRow(1);
        QCOMPARE(d.phrase->text(), QStringLiteral("Offer"));
        QCOMPARE(d.field->currentIndex(), 1);
        QCOMPARE(d.caseBox->currentIndex(), 1);
        d.clickRow(0);
        QCOMPARE(d.phrase->text(), QStringLiteral("free"));
        QCOMPARE(d.field->currentIndex(), 0);
        QCOMPARE(d.caseBox->currentIndex(), 0);
        d.clickRow(2);
        QCOMPARE(d.phrase->text(), QStringLiteral("me@example.org"));
        QCOMPARE(d.field->currentIndex(), 2);
        QCOMPARE(d.caseBox->currentIndex(), 0);

        // Below the last row: nothing is shown.
        const QRect last = d.rows->visualItemRect(d.rows->topLevelItem(2));
        const QPoint beside(last.center().x(), last.bottom() + last.height() * 2);
        QVERIFY(d.rows->viewport()->rect().contains(beside));
        d.type(QStringLiteral("typed"));
        QTest::keyClick(d.field, Qt::Key_Up);
        QTest::mouseClick(d.rows->viewport(), Qt::LeftButton, {}, beside);
        QCOMPARE(d.phrase->text(), QStringLiteral("typed"));
        QCOMPARE(d.field->currentIndex(), 1);
        QCOMPARE(d.caseBox->currentIndex(), 0);
    }

    void editNeedsASelectedRowAndAPhrase_data() { bothLists(); }
    void editNeedsASelectedRowAndAPhrase() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        QVERIFY(storeRows(file.toStdString(), kStored));
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        ui.prompter().answer({true, true});
        d.type(QStringLiteral("new words"));
        d.click("edit");
        d.clickRow(1);
        d.type(QString());
        d.click("edit");
        QVERIFY(ui.prompter().asked.isEmpty());
        QCOMPARE(d.shownRows(), kStoredShown);
        // Still unchanged: OK closes without a question.
        d.click("ok");
        QVERIFY(!d.isOpen());
        QVERIFY(ui.prompter().asked.isEmpty());
    }

    void editReplacesTheSelectedRowInPlace_data() { bothLists(); }
    void editReplacesTheSelectedRowInPlace() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        QVERIFY(storeRows(file.toStdString(), kStored));
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        d.clickRow(1);
        d.type(QStringLiteral("Bargain"));
        QTest::keyClick(d.field, Qt::Key_Down);
        QTest::keyClick(d.caseBox, Qt::Key_Up);

        ui.prompter().answer({false});
        d.click("edit");
        QCOMPARE(ui.prompter().asked, QStringList{kEditQuestion});
        QCOMPARE(d.shownRows(), kStoredShown);

        ui.prompter().answer({true});
        d.click("edit");
        const QStringList edited = {kStoredShown[0], QStringLiteral("Bargain|To|Insensitive"),
                                    kStoredShown[2]};
        QCOMPARE(d.shownRows(), edited);

        ui.prompter().answer({true});
        d.click("ok");
        QVERIFY(!d.isOpen());
        const std::vector<FilterListEntry> expected = {
            {"free", FilterListEntry::kFrom, FilterListEntry::kInsensitive},
            {"Bargain", FilterListEntry::kTo, FilterListEntry::kInsensitive},
            {"me@example.org", FilterListEntry::kTo, FilterListEntry::kInsensitive}};
        QCOMPARE(storedEntries(file.toStdString()), expected);
        QCOMPARE(ui.prompter().asked, (QStringList{kEditQuestion, kEditQuestion, kUpdate}));
    }

    void deletingEveryRowWritesAnEmptyList_data() { bothLists(); }
    void deletingEveryRowWritesAnEmptyList() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        QVERIFY(storeRows(file.toStdString(), kStored));
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        d.click("delete");
        QVERIFY(ui.prompter().asked.isEmpty());

        d.clickRow(1);
        ui.prompter().answer({false});
        d.click("delete");
        QCOMPARE(ui.prompter().asked, QStringList{kDeleteQuestion});
        QCOMPARE(d.shownRows(), kStoredShown);
        ui.prompter().answer({true});
        d.click("delete");
        QCOMPARE(d.shownRows(), (QStringList{kStoredShown[0], kStoredShown[2]}));
        // Nothing stays selected: Delete needs a row picked again.
        d.click("delete");
        QCOMPARE(ui.prompter().asked.size(), 2);
        for (int left = 2; left > 0; --left) {
            d.clickRow(0);
            ui.prompter().answer({true});
            d.click("delete");
        }
        QCOMPARE(d.rows->topLevelItemCount(), 0);

        ui.prompter().answer({true});
        d.click("ok");
        QVERIFY(!d.isOpen());
        QCOMPARE(ui.prompter().asked.back(), kUpdate);
        QCOMPARE(std::filesystem::file_size(file.toStdString()), std::uintmax_t{4});
        FilterList reader(file.toStdString());
        QVERIFY(reader.load());
        QVERIFY(reader.entries().empty());
        QVERIFY(d.list.entries().empty());
    }

    void changesAreKeptUntilTheUserLetsThemGo_data() { bothLists(); }
    void changesAreKeptUntilTheUserLetsThemGo() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        QVERIFY(storeRows(file.toStdString(), {kStored[0]}));
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        d.type(QStringLiteral("extra"));
        d.click("add");

        ui.prompter().answer({false});
        d.click("ok");
        QVERIFY(d.isOpen());
        QCOMPARE(d.shownRows(),
                 (QStringList{kStoredShown[0], QStringLiteral("extra|From|Insensitive")}));

        ui.prompter().answer({false});
        d.click("cancel");
        QVERIFY(d.isOpen());
        ui.prompter().answer({false});
        QTest::keyClick(d.dialog.get(), Qt::Key_Escape);
        QVERIFY(d.isOpen());
        ui.prompter().answer({false});
        d.dialog->close();
        QVERIFY(d.isOpen());

        ui.prompter().answer({true});
        d.click("cancel");
        QVERIFY(!d.isOpen());
        QCOMPARE(d.dialog->result(), int(QDialog::Rejected));
        QCOMPARE(ui.prompter().asked, (QStringList{kUpdate, kExit, kExit, kExit, kExit}));
        QCOMPARE(ui.prompter().titles, QStringList(5, Prompter::kTitle));
        QCOMPARE(storedEntries(file.toStdString()).size(), std::size_t{1});
        QCOMPARE(d.list.entries().size(), std::size_t{1});
    }

    void cancelOnAnUnchangedListClosesAtOnce_data() { bothLists(); }
    void cancelOnAnUnchangedListClosesAtOnce() {
        QFETCH(bool, black);
        UiFixture ui;
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        QTest::keyClick(d.dialog.get(), Qt::Key_Escape);
        QVERIFY(!d.isOpen());
        QCOMPARE(d.dialog->result(), int(QDialog::Rejected));
        QVERIFY(ui.prompter().asked.isEmpty());
    }

    void aListThatCannotBeWrittenIsNotTakenAsSaved_data() { bothLists(); }
    void aListThatCannotBeWrittenIsNotTakenAsSaved() {
        QFETCH(bool, black);
        QFETCH(QString, file);
        UiFixture ui;
        QVERIFY(storeRows(file.toStdString(), {kStored[0]}));
        ListDialog d(ui, black);
        QVERIFY(d.ready);
        // The list is written beside its file first: a directory there makes
        // the write fail even for a user whom permissions do not stop.
        const std::string blocker = file.toStdString() + ".part";
        std::filesystem::create_directory(blocker);
        d.type(QStringLiteral("extra"));
        d.click("add");

        ui.prompter().answer({true});
        d.click("ok");
        QVERIFY(d.isOpen());
        QCOMPARE(ui.prompter().told.size(), 1);
        QVERIFY(ui.prompter().told.front().contains(file));
        QCOMPARE(d.rows->topLevelItemCount(), 2);
        QCOMPARE(storedEntries(file.toStdString()).size(), std::size_t{1});
        QCOMPARE(d.list.entries(), storedEntries(file.toStdString()));

        std::filesystem::remove(blocker);
        ui.prompter().answer({true});
        d.click("ok");
        QVERIFY(!d.isOpen());
        QCOMPARE(storedEntries(file.toStdString()).size(), std::size_t{2});
        QCOMPARE(d.list.entries().size(), std::size_t{2});
    }

    // The real message box: no icon, the program's title, and Yes saves.
    void theQuestionIsARealMessageBox() {
        UiFixture ui;
        MessageBoxPrompter prompter;
        CBlackListDlg dialog(ui.objects().blackList, prompter);
        prompter.setParent(&dialog);
        QString question;
        QString title;
        bool noIcon = false;
        bool added = false;
        ModalWatch watch([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                question = box->text();
                title = box->windowTitle();
                noIcon = box->icon() == QMessageBox::NoIcon;
                box->button(QMessageBox::Yes)->click();
                return true;
            }
            if (modal == &dialog && !added) {
                added = true;
                QTest::keyClicks(dialog.findChild<QLineEdit*>(QStringLiteral("phrase")),
                                 QStringLiteral("lottery"));
                QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("add")),
                                  Qt::LeftButton);
                // Later, from the event loop, so the box runs its loop outside this handler.
                QMetaObject::invokeMethod(dialog.findChild<QPushButton*>(QStringLiteral("ok")),
                                          &QPushButton::click, Qt::QueuedConnection);
            }
            return false;
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
        QCOMPARE(question, kUpdate);
        QCOMPARE(title, Prompter::kTitle);
        QVERIFY(noIcon);
        const std::vector<FilterListEntry> expected = {
            {"lottery", FilterListEntry::kFrom, FilterListEntry::kInsensitive}};
        QCOMPARE(storedEntries(std::string(kBlackListFile)), expected);
    }
};

GLIMMERFEN_UI_TEST_MAIN(PhraseListsTest)
#include "tst_phraselists.moc"
