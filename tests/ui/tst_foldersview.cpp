#include <chrono>
#include <memory>

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QSignalSpy>
#include <QtTest>

#include "AutoTestGate.h"
#include "ListPanes.h"
#include "ModalWatch.h"
#include "UiFixture.h"
#include "store/Folder.h"

using namespace std::chrono_literals;

namespace {

constexpr int kLong = 20000;

QStringList countsOf(const CFoldersView& folders) {
    QStringList counts;
    for (int row = 0; row < folders.topLevelItemCount(); ++row) {
        counts << folders.topLevelItem(row)->text(1);
    }
    return counts;
}

int currentFolderRow(const CFoldersView& folders) {
    return folders.indexOfTopLevelItem(folders.currentItem());
}

// What a drag of the header list's selection carries.
std::unique_ptr<QMimeData> draggedSelection(const ListPanes& panes) {
    return std::unique_ptr<QMimeData>(
        panes.headers->model()->mimeData(panes.headers->selectionModel()->selectedIndexes()));
}

struct DropOutcome {
    bool entered = false;
    int markedWhileOver = -1;
    bool dropped = false;
};

// Drags `data` into the folder list, over `row` and drops it there, as the
// window system delivers a drag.
DropOutcome dropOnRow(const ListPanes& panes, int row, const QMimeData& data) {
    QWidget* target = panes.folders->viewport();
    const QPoint at = panes.folders->visualItemRect(panes.folders->topLevelItem(row)).center();
    DropOutcome outcome;
    QDragEnterEvent enter(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    outcome.entered = enter.isAccepted();
    QDragMoveEvent move(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    outcome.markedWhileOver = panes.folders->dropTargetRow();
    QDropEvent drop(QPointF(at), Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    outcome.dropped = drop.isAccepted();
    return outcome;
}

}  // namespace

class FoldersViewTest : public QObject {
    Q_OBJECT

  private slots:
    void showsTheSixFoldersWithTheirCounts() {
        UiFixture f;
        f.fill("newA", 3);
        f.fill("badB", 2);
        f.fill("trashA", 1);
        ListPanes p(f.context());
        const CFoldersView& folders = *p.folders;
        QCOMPARE(folders.columnCount(), 2);
        QCOMPARE(folders.headerItem()->text(0), QStringLiteral("Folder"));
        QCOMPARE(folders.headerItem()->text(1), QStringLiteral("Number of Emails"));
        QCOMPARE(folders.header()->sectionSize(0), 150);
        QCOMPARE(folders.header()->sectionSize(1), 150);
        QStringList names;
        for (int row = 0; row < folders.topLevelItemCount(); ++row) {
            names << folders.topLevelItem(row)->text(0);
        }
        QCOMPARE(names, QStringList({"New Emails", "Good Emails", "Bad Emails/Spam", "Store Good",
                                     "Store Bad", "Trash Bin"}));
        QCOMPARE(countsOf(folders), QStringList({"3", "0", "0", "0", "2", "1"}));
        QCOMPARE(currentFolderRow(folders), 0);
    }

    void aClickShowsTheFolder() {
        UiFixture f;
        f.fill("goodB", 2);
        f.fill("badA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        QSignalSpy pane(p.headers, &CHeadersView::currentFolderChanged);

        p.clickFolder(3);
        QCOMPARE(p.headers->currentFolder(), Folder::StoreGood);
        QCOMPARE(QString::fromStdString(std::string(folderKey(p.headers->currentFolder()))),
                 QStringLiteral("goodB"));
        QCOMPARE(p.rowCount(), 2);
        QVERIFY(!f.desktop().isNewEmailsShown());
        p.clickFolder(2);
        QCOMPARE(p.headers->currentFolder(), Folder::Bad);
        QCOMPARE(p.rowCount(), 1);
        p.clickFolder(0);
        QVERIFY(f.desktop().isNewEmailsShown());
        QCOMPARE(pane.count(), 3);
        QCOMPARE(pane.at(0).at(0).toString(), QStringLiteral("STORE GOOD"));
        QCOMPARE(pane.at(1).at(0).toString(), QStringLiteral("SPAM FOLDER"));
        QCOMPARE(pane.at(2).at(0).toString(), QStringLiteral("NEW FOLDER"));
    }

    void clickingTheFolderShownDoesNotReloadIt() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        QTreeWidgetItem* const row = p.row(0);
        row->setText(CHeadersView::kSpamColumn, QStringLiteral("kept"));
        p.clickFolder(0);
        QCOMPARE(p.row(0), row);
        QCOMPARE(p.text(0, CHeadersView::kSpamColumn), QStringLiteral("kept"));

        p.clickFolder(5);
        p.clickFolder(0);
        QCOMPARE(p.rowCount(), 1);
        QCOMPARE(p.text(0, CHeadersView::kSpamColumn), QString());
    }

    void aClickBelowTheRowsChangesNothing() {
        UiFixture f;
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.clickFolder(4);
        const QRect last = p.folders->visualItemRect(p.folders->topLevelItem(5));
        QVERIFY(last.bottom() + 20 < p.folders->viewport()->height());
        QTest::mouseClick(p.folders->viewport(), Qt::LeftButton, {},
                          QPoint(last.center().x(), last.bottom() + 15));
        QCOMPARE(p.headers->currentFolder(), Folder::StoreBad);
        QCOMPARE(currentFolderRow(*p.folders), 4);
        QVERIFY(p.folders->topLevelItem(4)->isSelected());
    }

    void aClickIsIgnoredWhileTheSemaphoreIsHeldOrATestRuns() {
        UiFixture f;
        f.trainFilter("cheap pills casino", "meeting agenda project");
        f.fill("newA", 2);
        ListPanes p(f.context());
        QVERIFY(p.ready());

        QVERIFY(f.objects().buildSemaphore.tryAcquire(0ms));
        p.clickFolder(3);
        f.objects().buildSemaphore.release();
        QCOMPARE(p.headers->currentFolder(), Folder::New);
        QCOMPARE(p.rowCount(), 2);
        QCOMPARE(currentFolderRow(*p.folders), 0);

        {
            AutoTestGate gate(*p.headers);
            p.headers->autoTestFolder();
            QVERIFY(p.headers->isAutoTestRunning());
            p.clickFolder(3);
            QCOMPARE(p.headers->currentFolder(), Folder::New);
            QCOMPARE(currentFolderRow(*p.folders), 0);
            gate.open();
            QTRY_VERIFY_WITH_TIMEOUT(!p.headers->isAutoTestRunning(), kLong);
        }
        p.clickFolder(3);
        QCOMPARE(p.headers->currentFolder(), Folder::StoreGood);
    }

    void countsFollowAMove() {
        UiFixture f;
        f.fill("newA", 3);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.select(0, 2);
        p.press(Qt::Key_F2);
        QCOMPARE(countsOf(*p.folders), QStringList({"1", "0", "0", "2", "0", "0"}));
        p.select(0, 1);
        p.press(Qt::Key_Delete);
        QCOMPARE(countsOf(*p.folders), QStringList({"0", "0", "0", "2", "0", "1"}));
    }

    void aFolderChangeEmptiesTheMessagePanes() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.clickRow(0);
        QVERIFY(!p.headerPane->subject().isEmpty());
        p.clickFolder(5);
        QCOMPARE(p.headerPane->subject(), QString());
        QCOMPARE(p.headerPane->from(), QString());
        QCOMPARE(p.bodyPane->toPlainText(), QString());
    }

    // ---- dropping emails on a folder ----

    void droppedEmailsMoveByTheRowsRules() {
        UiFixture f;
        f.fill("newA", 4);
        ListPanes p(f.context());
        QVERIFY(p.ready());

        p.select(0, 1);
        DropOutcome outcome = dropOnRow(p, 1, *draggedSelection(p));
        QVERIFY(outcome.entered);
        QCOMPARE(outcome.markedWhileOver, 1);
        QVERIFY(outcome.dropped);
        QCOMPARE(p.folders->dropTargetRow(), -1);
        QTRY_COMPARE_WITH_TIMEOUT(f.prompter().told,
                                  QStringList{"Can't Move Emails Into Good Folder"}, kLong);
        QCOMPARE(f.store().emailCount("goodA"), 0);
        QCOMPARE(f.store().emailCount("newA"), 4);

        outcome = dropOnRow(p, 2, *draggedSelection(p));
        QCOMPARE(outcome.markedWhileOver, 2);
        QTRY_COMPARE_WITH_TIMEOUT(f.store().emailCount("badB"), 1, kLong);
        QCOMPARE(f.prompter().told.last(), QStringLiteral("Can't Move Emails Into Bad Folder"));
        QCOMPARE(f.store().emailCount("badA"), 0);

        p.select(0, 2);
        dropOnRow(p, 3, *draggedSelection(p));
        QTRY_COMPARE_WITH_TIMEOUT(f.store().emailCount("goodB"), 2, kLong);
        QCOMPARE(countsOf(*p.folders), QStringList({"1", "0", "0", "2", "1", "0"}));
    }

    void onlyEmailsFromTheHeaderListAreTaken() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.select(0, 1);
        QMimeData foreign;
        foreign.setText(QStringLiteral("1\n"));
        const DropOutcome outcome = dropOnRow(p, 5, foreign);
        QVERIFY(!outcome.entered);
        QCOMPARE(outcome.markedWhileOver, -1);
        QVERIFY(!outcome.dropped);
        QCoreApplication::processEvents();
        QCOMPARE(f.store().emailCount("trashA"), 0);
        QCOMPARE(f.store().emailCount("newA"), 1);
    }

    void theMarkFollowsTheCursorAndGoesWhenItLeaves() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.select(0, 1);
        const std::unique_ptr<QMimeData> data = draggedSelection(p);
        QWidget* target = p.folders->viewport();
        const auto over = [&](int row) {
            const QPoint at = p.folders->visualItemRect(p.folders->topLevelItem(row)).center();
            QDragMoveEvent move(at, Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &move);
            return p.folders->dropTargetRow();
        };
        QDragEnterEvent enter(QPoint(5, 5), Qt::MoveAction, data.get(), Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QCOMPARE(over(4), 4);
        QCOMPARE(p.folders->topLevelItem(4)->background(0).color(),
                 p.folders->palette().color(QPalette::Highlight));
        QCOMPARE(over(3), 3);
        QCOMPARE(p.folders->topLevelItem(4)->data(0, Qt::BackgroundRole), QVariant());
        QDragLeaveEvent leave;
        QApplication::sendEvent(target, &leave);
        QCOMPARE(p.folders->dropTargetRow(), -1);
        QCOMPARE(p.folders->topLevelItem(3)->data(0, Qt::BackgroundRole), QVariant());
        QCOMPARE(f.store().emailCount("newA"), 1);
    }
};

GLIMMERFEN_UI_TEST_MAIN(FoldersViewTest)
#include "tst_foldersview.moc"
