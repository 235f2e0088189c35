#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include "AutoTestGate.h"
#include "ListPanes.h"
#include "ModalWatch.h"
#include "UiFixture.h"
#include "analysis/HeaderParser.h"
#include "analysis/StoredHeader.h"
#include "proxy/SessionGate.h"
#include "rating/FakeNameServer.h"
#include "store/Folder.h"
#include "ui/DateSortKey.h"
#include "ui/DragPicture.h"

using namespace std::chrono_literals;

namespace {

// True when nothing holds the store against the proxy: a move could start now.
bool noMoveClaimed(SessionGate& gate) {
    const bool free = gate.tryClaimMailMove();
    if (free) {
        gate.releaseMailMove();
    }
    return free;
}

constexpr int kLong = 20000;

const char* const kSpamWords = "cheap pills casino jackpot winner prize claim viagra offer";
const char* const kGoodWords = "meeting agenda project minutes lunch report schedule review";

const QString kPartialMove = QStringLiteral(
    "Folder's size limit, 600 emails, will only allow some emails.\n        Move some out to make "
    "room for more.\n                 Continue with move?");
const QString kFolderFull =
    QStringLiteral("Folder is full.  Must move some emails out of it to make room for more.");
const QString kNewOverflow = QStringLiteral(
    "The \"new\" Folder's size limit of 600 emails will be exceeded.\nYour moved email(s) could be "
    "deleted.  Move anyway?");
const QString kTrashOverflow = QStringLiteral(
    "The \"trash\" Folder's size limit of 600 emails will be exceeded.\nYour moved email(s) could "
    "be deleted.  Move anyway?");
const QString kDownloading =
    QStringLiteral("Downloading.  Must wait for download to complete to move emails");

using Column = CHeadersView::Column;

bool holds(CDatabase& store, const char* folder, const QString& index) {
    const std::vector<int> indexes = store.emailIndexes(folder);
    return std::find(indexes.begin(), indexes.end(), index.toInt()) != indexes.end();
}

// An email whose header carries the given date, as the proxy would store it.
int addDatedEmail(CDatabase& store, const char* folder, int day, int month, int hour, int minute,
                  const std::string& from = "Dated <dated@example.org>") {
    EmailHeader header;
    header.from = from;
    header.to = "reader@example.org";
    header.subject = "dated";
    header.day = static_cast<std::uint8_t>(day);
    header.month = static_cast<std::uint8_t>(month);
    header.year = 2006;
    header.hour = static_cast<std::uint8_t>(hour);
    header.minute = static_cast<std::uint8_t>(minute);
    const std::string text = "From: " + from + "\r\n\r\nbody\r\n";
    header.textLength = static_cast<int>(text.size());
    const int index = store.getNextEmailIndex();
    store.setEmailHeader(index, folder, header, text);
    return index;
}

// An email relayed through `relay`, stored with the objects' own store.
int addRelayedEmail(CDatabase& store, const std::string& relay) {
    const std::string text = "Received: from relay.example.net (relay.example.net [" + relay +
                             "])\r\n\tby mx.example.org; Tue, 7 Mar 2006 08:05:00 +0000\r\n"
                             "From: Far <far@example.net>\r\nTo: reader@example.org\r\n"
                             "Subject: relayed\r\n\r\nbody\r\n";
    CHeaderParser parser;
    parser.parse(text);
    const int index = store.getNextEmailIndex();
    store.setEmailHeader(index, "newA",
                         storedHeader(parser.getHeaderRecord(), static_cast<int>(text.size()), 0),
                         text);
    return index;
}

// One email relayed through a public address, and the first block list asked
// through a name server on 127.0.0.1 that never answers.
struct SilentNameServer {
    SilentNameServer() : server(std::vector<FakeReply>{}), ui(server.port()) {
        ui.store().setNameServerIP({127, 0, 0, 1});
        ui.objects().resolver.setDnsblZones(2);
        addRelayedEmail(ui.store(), "1.2.3.4");
    }

    FakeNameServer server;
    UiFixture ui;
};

HeaderRow lateRow(int index) {
    return {"Late <late@example.org>", "late news",           "8 Mar 2006, 9:00",
            "reader@example.org",      std::to_string(index), "0"};
}

int testedRows(const ListPanes& panes) {
    int tested = 0;
    for (int row = 0; row < panes.rowCount(); ++row) {
        tested += panes.text(row, Column::kSpamColumn).isEmpty() ? 0 : 1;
    }
    return tested;
}

}  // namespace

class HeadersViewTest : public QObject {
    Q_OBJECT

  private slots:
    void listsTheFolderNewestFirstInItsColumns() {
        UiFixture f;
        f.addEmail("newA", "=?iso-8859-1?b?SGFsbG8h?=", "\"Jane \"Q\" Doe\" <jane@example.org>");
        const int newer = f.addEmail("newA", "second");
        ListPanes p(f.context());

        const QStringList titles = {"From", "Subject", "Date/Time", "To",
                                    "Spam", "Rating",  "Index",     "delTime"};
        const QList<int> widths = {180, 270, 120, 100, 50, 50, 0, 0};
        for (int column = 0; column < Column::kColumnCount; ++column) {
            QCOMPARE(p.headers->headerItem()->text(column), titles[column]);
            QCOMPARE(p.headers->header()->sectionSize(column), widths[column]);
        }
        QCOMPARE(p.rowCount(), 2);
        QCOMPARE(p.text(0, Column::kIndexColumn), QString::number(newer));
        QCOMPARE(p.text(1, Column::kFromColumn),
                 QStringLiteral("Jane Q\" Doe\" <jane@example.org>"));
        QCOMPARE(p.text(1, Column::kSubjectColumn), QStringLiteral("Hallo!"));
        QCOMPARE(p.text(1, Column::kDateTimeColumn), QStringLiteral("7 Mar 2006, 8:05"));
        QCOMPARE(p.text(1, Column::kToColumn), QStringLiteral("reader@example.org"));
        QCOMPARE(p.text(1, Column::kSpamColumn), QString());
        QCOMPARE(p.text(1, Column::kDelTimeColumn), QStringLiteral("0"));
        QVERIFY(f.desktop().isNewEmailsShown());
    }

    void indexAndDelTimeColumnsCannotBeWidened() {
        UiFixture f;
        ListPanes p(f.context());
        QHeaderView* bar = p.headers->header();
        bar->resizeSection(Column::kIndexColumn, 80);
        bar->resizeSection(Column::kDelTimeColumn, 80);
        bar->resizeSection(Column::kSubjectColumn, 300);
        QCOMPARE(bar->sectionSize(Column::kIndexColumn), 0);
        QCOMPARE(bar->sectionSize(Column::kDelTimeColumn), 0);
        QCOMPARE(bar->sectionSize(Column::kSubjectColumn), 300);
    }

    // ---- moves ----

    void movesAreLimitedToFiftyEmails() {
        UiFixture f;
        f.fill("newA", 51);
        ListPanes p(f.context());
        QVERIFY(p.ready());

        p.select(0, 51);
        p.press(Qt::Key_F2);
        p.press(Qt::Key_Delete);
        QCOMPARE(f.prompter().told,
                 QStringList({"Can't move more than 50 emails at once.",
                              "Can't delete or move to trash more than 50 emails at once."}));
        QCOMPARE(f.store().emailCount("goodB"), 0);
        QCOMPARE(f.store().emailCount("trashA"), 0);
        QCOMPARE(p.rowCount(), 51);

        const QString kept = p.text(0, Column::kIndexColumn);
        p.select(1, 50);
        p.press(Qt::Key_F2);
        QCOMPARE(f.store().emailCount("goodB"), 50);
        QCOMPARE(f.store().emailCount("newA"), 1);
        QCOMPARE(p.rowCount(), 1);
        QCOMPARE(p.text(0, Column::kIndexColumn), kept);
        QCOMPARE(f.prompter().told.size(), 2);
    }

    void storeGoodTakesOnlyWhatFits() {
        UiFixture f;
        f.fill("goodB", 590);
        f.fill("newA", 20);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        const QStringList firstTen = p.column(Column::kIndexColumn).mid(0, 10);

        p.select(0, 20);
        f.prompter().answer({false});
        p.press(Qt::Key_F2);
        QCOMPARE(f.prompter().asked, QStringList{kPartialMove});
        QCOMPARE(f.store().emailCount("goodB"), 590);

        f.prompter().answer({true});
        p.press(Qt::Key_F2);
        QCOMPARE(f.store().emailCount("goodB"), 600);
        QCOMPARE(f.store().emailCount("newA"), 10);
        for (const QString& index : firstTen) {
            QVERIFY(holds(f.store(), "goodB", index));
        }
        QCOMPARE(p.rowCount(), 10);

        p.select(0, 10);
        p.press(Qt::Key_F2);
        QCOMPARE(f.prompter().told, QStringList{kFolderFull});
        QCOMPARE(f.prompter().asked.size(), 2);
        QCOMPARE(f.store().emailCount("goodB"), 600);
        QCOMPARE(p.rowCount(), 10);
    }

    void storeBadFollowsTheSameRules() {
        UiFixture f;
        f.fill("badB", 600);
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.select(0, 1);
        p.press(Qt::Key_F3);
        QCOMPARE(f.prompter().told, QStringList{kFolderFull});
        QCOMPARE(f.store().emailCount("newA"), 1);
    }

    void deleteInTheTrashAsksAndDeletes() {
        UiFixture f;
        f.fill("trashA", 3);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.show(Folder::Trash);

        p.select(0, 1);
        f.prompter().answer({false, true});
        p.press(Qt::Key_Delete);
        QCOMPARE(f.store().emailCount("trashA"), 3);
        const QString gone = p.text(0, Column::kIndexColumn);
        p.press(Qt::Key_Delete);
        QCOMPARE(f.prompter().asked, QStringList({"Do you want to DELETE this email?",
                                                  "Do you want to DELETE this email?"}));
        QCOMPARE(f.store().emailCount("trashA"), 2);
        QCOMPARE(p.rowCount(), 2);
        for (const char* folder : {"newA", "goodA", "badA", "goodB", "badB", "trashA"}) {
            QVERIFY(!holds(f.store(), folder, gone));
        }

        p.select(0, 2);
        f.prompter().answer({true});
        p.press(Qt::Key_Delete);
        QCOMPARE(f.prompter().asked.last(), QStringLiteral("Do you want to DELETE these emails?"));
        QCOMPARE(f.store().emailCount("trashA"), 0);
        QCOMPARE(p.rowCount(), 0);
    }

    void movingToTheFolderShownDoesNothing() {
        UiFixture f;
        const struct {
            const char* key;
            Folder folder;
            Qt::Key moveKey;
        } cases[] = {{"newA", Folder::New, Qt::Key_F4},
                     {"goodB", Folder::StoreGood, Qt::Key_F2},
                     {"badB", Folder::StoreBad, Qt::Key_F3}};
        for (const auto& c : cases) {
            f.fill(c.key, 2);
        }
        ListPanes p(f.context());
        QVERIFY(p.ready());
        for (const auto& c : cases) {
            p.show(c.folder);
            p.select(0, 2);
            p.press(c.moveKey);
            QCOMPARE(f.store().emailCount(c.key), 2);
            QCOMPARE(p.rowCount(), 2);
        }
        QVERIFY(f.prompter().asked.isEmpty());
        QVERIFY(f.prompter().told.isEmpty());
    }

    void overflowingNewAsksAndTrimsItToTheTrash() {
        UiFixture f;
        f.fill("newA", 600);
        f.fill("trashA", 3);
        const std::vector<int> oldestNew = [&] {
            std::vector<int> all = f.store().emailIndexes("newA");
            return std::vector<int>(all.begin(), all.begin() + 3);
        }();
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.show(Folder::Trash);

        p.select(0, 3);
        f.prompter().answer({false});
        p.press(Qt::Key_F4);
        QCOMPARE(f.prompter().asked, QStringList{kNewOverflow});
        QCOMPARE(f.store().emailCount("trashA"), 3);

        f.prompter().answer({true});
        p.press(Qt::Key_F4);
        QCOMPARE(f.store().emailCount("newA"), 600);
        // The overflow came to the Trash, and the Trash shown was read again.
        QCOMPARE(f.store().emailIndexes("trashA"), oldestNew);
        QCOMPARE(p.rowCount(), 3);
        for (const int index : oldestNew) {
            QVERIFY(p.column(Column::kIndexColumn).contains(QString::number(index)));
        }
    }

    void overflowingTheTrashAsksAndDropsItsOldest() {
        UiFixture f;
        f.fill("trashA", 598);
        f.fill("newA", 5);
        ListPanes p(f.context());
        QVERIFY(p.ready());

        p.select(0, 5);
        f.prompter().answer({false});
        p.press(Qt::Key_Delete);
        QCOMPARE(f.prompter().asked, QStringList{kTrashOverflow});
        QCOMPARE(f.store().emailCount("newA"), 5);

        f.prompter().answer({true});
        p.press(Qt::Key_Delete);
        QCOMPARE(f.store().emailCount("newA"), 0);
        QCOMPARE(f.store().emailCount("trashA"), 600);
        QCOMPARE(p.rowCount(), 0);
    }

    void movesWaitForTheDownload() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        SessionGate& gate = f.objects().sessionGate;
        p.select(0, 1);

        const std::atomic<bool> stop{false};
        QVERIFY(gate.beginSession(stop, 1ms));
        p.press(Qt::Key_F2);
        gate.endSession();
        gate.beginRefresh();
        p.press(Qt::Key_Delete);
        QCOMPARE(f.prompter().told, QStringList({kDownloading, kDownloading}));
        QCOMPARE(f.store().emailCount("newA"), 1);

        gate.endRefresh();
        QVERIFY(noMoveClaimed(gate));
        p.press(Qt::Key_F2);
        QCOMPARE(f.store().emailCount("goodB"), 1);
        QVERIFY(noMoveClaimed(gate));
    }

    // A session must not start while a move is deciding what to move.
    void aMoveHoldsOffTheProxyWhileItAsks() {
        UiFixture f;
        f.fill("goodB", 600);
        f.fill("newA", 1);
        class ProbingPrompter : public ScriptedPrompter {
          public:
            explicit ProbingPrompter(SessionGate& gate) : m_gate(gate) {}
            using Prompter::tell;
            void tell(const QString& text, const QString& title, Icon icon) override {
                moveActive << !noMoveClaimed(m_gate);
                ScriptedPrompter::tell(text, title, icon);
            }
            QList<bool> moveActive;

          private:
            SessionGate& m_gate;
        } prompter(f.objects().sessionGate);
        ViewContext context{f.objects(), f.desktop(), prompter};
        ListPanes p(context);
        QVERIFY(p.ready());
        p.select(0, 1);
        p.press(Qt::Key_F2);
        QCOMPARE(prompter.told, QStringList{kFolderFull});
        QCOMPARE(prompter.moveActive, QList<bool>{true});
        QVERIFY(noMoveClaimed(f.objects().sessionGate));
    }

    void moveKeysActOnlyWhileTheListHasTheFocus() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.select(0, 1);
        p.folders->setFocus();
        QTest::keyClick(p.folders, Qt::Key_Delete);
        QTest::keyClick(p.folders, Qt::Key_F2);
        QCOMPARE(f.store().emailCount("newA"), 1);
        p.press(Qt::Key_Delete);
        QCOMPARE(f.store().emailCount("trashA"), 1);
    }

    void contextMenuOffersTheFourMoves() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.select(0, 1);

        QStringList texts;
        QList<QKeySequence> keys;
        QTimer poll;
        QDeadlineTimer deadline(kLong);
        connect(&poll, &QTimer::timeout, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr) {
                if (deadline.hasExpired()) {
                    poll.stop();
                }
                return;
            }
            poll.stop();
            for (QAction* action : menu->actions()) {
                texts << action->text();
                keys << action->shortcut();
            }
            menu->setActiveAction(menu->actions().value(3));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        poll.start(10);
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(10, 10),
                                p.headers->mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(p.headers, &event);

        QCOMPARE(texts, QStringList({"Move To &New  ", "Move To Store &Good  ",
                                     "Move To Store &Bad/Spam ", "Move To &Trash/Del  "}));
        QCOMPARE(keys,
                 QList<QKeySequence>({QKeySequence(Qt::Key_F4), QKeySequence(Qt::Key_F2),
                                      QKeySequence(Qt::Key_F3), QKeySequence(Qt::Key_Delete)}));
        QCOMPARE(f.store().emailCount("trashA"), 1);
    }

    // ---- sorting ----

    void sortingReversesAndIsKeptPerFolder() {
        UiFixture f;
        for (const char* from : {"a <a@example.org>", "c <c@example.org>", "B <b@example.org>"}) {
            f.addEmail("newA", "hello", from);
        }
        for (const char* from : {"y <y@example.org>", "X <x@example.org>", "z <z@example.org>"}) {
            f.addEmail("goodB", "hello", from);
        }
        ListPanes p(f.context());
        QVERIFY(p.ready());
        const auto firstLetters = [&p] {
            QString letters;
            for (const QString& from : p.column(Column::kFromColumn)) {
                letters += from.front();
            }
            return letters;
        };

        // Case counts, by byte value: "B" comes before "a".
        p.clickHeader(Column::kFromColumn);
        QCOMPARE(firstLetters(), QStringLiteral("caB"));
        p.clickHeader(Column::kFromColumn);
        QCOMPARE(firstLetters(), QStringLiteral("Bac"));
        p.clickHeader(Column::kFromColumn);
        QCOMPARE(firstLetters(), QStringLiteral("caB"));

        p.show(Folder::StoreGood);
        p.clickHeader(Column::kFromColumn);
        QCOMPARE(firstLetters(), QStringLiteral("zyX"));

        p.show(Folder::New);
        p.clickHeader(Column::kFromColumn);
        QCOMPARE(firstLetters(), QStringLiteral("Bac"));
    }

    void sortingKeepsTheSelection() {
        UiFixture f;
        for (const char* from : {"a <a@example.org>", "c <c@example.org>", "b <b@example.org>"}) {
            f.addEmail("newA", "hello", from);
        }
        ListPanes p(f.context());
        QVERIFY(p.ready());
        const QString chosen = p.text(1, Column::kIndexColumn);
        p.select(1, 1);
        p.clickHeader(Column::kFromColumn);
        QCOMPARE(p.headers->selectedItems().size(), 1);
        QCOMPARE(p.headers->selectedItems().front()->text(Column::kIndexColumn), chosen);
    }

    void dateSortIsChronological() {
        UiFixture f;
        // Stored out of order, so that the list's own order proves nothing.
        addDatedEmail(f.store(), "newA", 15, 3, 10, 0, "c");
        addDatedEmail(f.store(), "newA", 1, 4, 0, 0, "e");
        addDatedEmail(f.store(), "newA", 5, 3, 8, 5, "b");
        addDatedEmail(f.store(), "newA", 28, 2, 23, 59, "a");
        addDatedEmail(f.store(), "newA", 15, 3, 8, 5, "C");
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.clickHeader(Column::kDateTimeColumn);
        QCOMPARE(p.column(Column::kFromColumn), QStringList({"a", "b", "C", "c", "e"}));
        p.clickHeader(Column::kDateTimeColumn);
        QCOMPARE(p.column(Column::kFromColumn), QStringList({"e", "c", "C", "b", "a"}));
    }

    void dateSortKeyReadsTheDisplayDate() {
        QCOMPARE(dateSortKey("9 Mar 2006, 8:05"), (DateSortKey{20060309, 805}));
        QCOMPARE(dateSortKey("31 Dec 1999, 23:59"), (DateSortKey{19991231, 2359}));
        QCOMPARE(dateSortKey("9 Xyz 2006, 8:05"), (DateSortKey{20060109, 805}));
        QCOMPARE(dateSortKey(""), (DateSortKey{100, 0}));
        QVERIFY(dateSortKey("5 Mar 2006, 8:05") < dateSortKey("15 Mar 2006, 8:05"));
        QVERIFY(dateSortKey("99999999999999999999 Jan 99999999999999999999, 1:00").date > 0);
    }

    // ---- show and test ----

    void aClickShowsAndTestsTheEmailButKeysDoNot() {
        UiFixture f;
        f.trainFilter(kSpamWords, kGoodWords);
        f.addEmail("newA", "buy now", "Seller <seller@example.net>", kSpamWords);
        f.addEmail("newA", "minutes", "Colleague <colleague@example.org>", kGoodWords);
        ListPanes p(f.context());
        QVERIFY(p.ready());

        p.clickRow(1);
        QCOMPARE(p.text(1, Column::kSpamColumn), QStringLiteral("Yes"));
        const QString rating = p.text(1, Column::kRatingColumn);
        QVERIFY2(QRegularExpression("^[01]\\.\\d{6}$").match(rating).hasMatch(),
                 qPrintable(rating));
        QVERIFY(rating.toDouble() >= 0.8);
        QCOMPARE(p.headerPane->from(), QStringLiteral("Seller <seller@example.net>"));
        QCOMPARE(p.headerPane->to(), QStringLiteral("reader@example.org"));
        QCOMPARE(p.headerPane->subject(), QStringLiteral("buy now"));
        QVERIFY(p.bodyPane->toPlainText().contains(QString::fromLatin1(kSpamWords)));
        QVERIFY(!p.bodyPane->toPlainText().contains(QLatin1Char('\r')));

        QTest::keyClick(p.headers, Qt::Key_Up);
        QVERIFY(p.row(0)->isSelected());
        QCOMPARE(p.text(0, Column::kSpamColumn), QString());
        QCOMPARE(p.headerPane->subject(), QStringLiteral("buy now"));

        p.clickRow(0);
        QCOMPARE(p.text(0, Column::kSpamColumn), QStringLiteral("No"));
        QVERIFY(p.text(0, Column::kRatingColumn).toDouble() < 0.8);

        f.objects().bayes.setEnabled(false, false);
        p.clickRow(1);
        QCOMPARE(p.text(1, Column::kSpamColumn), QStringLiteral("Off"));
        QCOMPARE(p.text(1, Column::kRatingColumn), QStringLiteral("0.500000"));
    }

    void aClickWhileTheSemaphoreIsHeldDoesNothing() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        QVERIFY(f.objects().buildSemaphore.tryAcquire(0ms));
        p.clickRow(0);
        p.select(0, 1);
        p.press(Qt::Key_F2);
        f.objects().buildSemaphore.release();
        QCOMPARE(p.headerPane->subject(), QString());
        QCOMPARE(p.text(0, Column::kSpamColumn), QString());
        QCOMPARE(f.store().emailCount("goodB"), 0);
    }

    void panesAreEmptiedByAFolderChange() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.clickRow(0);
        QVERIFY(!p.headerPane->from().isEmpty());
        QVERIFY(!p.bodyPane->toPlainText().isEmpty());
        p.show(Folder::StoreGood);
        QCOMPARE(p.headerPane->from(), QString());
        QCOMPARE(p.headerPane->to(), QString());
        QCOMPARE(p.headerPane->subject(), QString());
        QCOMPARE(p.bodyPane->toPlainText(), QString());
        QVERIFY(!f.desktop().isNewEmailsShown());
    }

    // ---- auto test ----

    void autoTestTestsTheFolderOrTheSelectedRows() {
        UiFixture f;
        f.trainFilter(kSpamWords, kGoodWords);
        f.addEmail("newA", "a", "Seller <seller@example.net>", kSpamWords);
        f.addEmail("newA", "b", "Colleague <colleague@example.org>", kGoodWords);
        f.addEmail("newA", "c", "Seller <seller@example.net>", kSpamWords);
        f.addEmail("newA", "d", "Colleague <colleague@example.org>", kGoodWords);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        QSignalSpy ended(p.headers, &CHeadersView::autoTestEnded);

        p.select(1, 1);
        p.headers->autoTestFolder();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kLong);
        QCOMPARE(p.column(Column::kSpamColumn), QStringList({"No", "Yes", "No", "Yes"}));
        for (const QString& rating : p.column(Column::kRatingColumn)) {
            QVERIFY(!rating.isEmpty());
        }

        p.show(Folder::New);
        QCOMPARE(testedRows(p), 0);
        p.select(0, 1);
        p.row(2)->setSelected(true);
        p.headers->autoTestFolder();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 2, kLong);
        QCOMPARE(p.column(Column::kSpamColumn), QStringList({"No", "", "No", ""}));
        QVERIFY(!p.headers->isAutoTestRunning());
    }

    void autoTestNeedsTheBayesFilter() {
        UiFixture f;
        f.fill("newA", 2);
        ListPanes p(f.context());
        p.headers->autoTestFolder();
        QCOMPARE(f.prompter().told, QStringList{"Bayes Filter Is Off"});
        QVERIFY(!p.headers->isAutoTestRunning());
    }

    void autoTestCanBeStopped() {
        UiFixture f;
        f.trainFilter(kSpamWords, kGoodWords);
        f.fill("newA", 5);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        AutoTestGate gate(*p.headers);

        p.headers->autoTestFolder();
        QVERIFY(p.headers->isAutoTestRunning());
        f.prompter().answer({false, true});
        p.headers->autoTestFolder();
        QVERIFY(p.headers->isAutoTestRunning());
        p.headers->autoTestFolder();
        QCOMPARE(f.prompter().asked,
                 QStringList(2, "Auto Test Folder is running.\nDo you want to stop Auto Test?"));
        // Held before its first email, the test cannot end yet.
        QVERIFY(!p.headers->stopAutoTest(20ms));
        QVERIFY(p.headers->isAutoTestRunning());

        gate.open();
        QVERIFY(p.headers->stopAutoTest(std::chrono::milliseconds(kLong)));
        QVERIFY(!p.headers->isAutoTestRunning());
        QCoreApplication::processEvents();
        QCOMPARE(testedRows(p), 1);
        QVERIFY(p.headers->stopAutoTest(0ms));
    }

    void changesWaitForTheAutoTestToEnd() {
        UiFixture f;
        f.trainFilter(kSpamWords, kGoodWords);
        f.fill("newA", 3);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        QStringList order;
        p.headers->whenIdle([&] { order << QStringLiteral("idle"); });
        QCOMPARE(order, QStringList{"idle"});

        {
            AutoTestGate gate(*p.headers);
            p.headers->autoTestFolder();
            p.headers->addRow(lateRow(9999));
            p.headers->whenIdle([&] { order << QStringLiteral("job %1").arg(p.rowCount()); });
            HeaderRow shown = lateRow(0);
            shown.index = p.text(0, Column::kIndexColumn).toStdString();
            p.headers->addRow(shown);
            QCOMPARE(p.rowCount(), 3);
            QCOMPARE(order.size(), 1);
            gate.open();
            QTRY_VERIFY_WITH_TIMEOUT(!p.headers->isAutoTestRunning(), kLong);
        }
        QCOMPARE(order, QStringList({"idle", "job 4"}));
        QCOMPARE(p.rowCount(), 4);
        QCOMPARE(p.text(0, Column::kIndexColumn), QStringLiteral("9999"));
        QCOMPARE(p.text(0, Column::kSubjectColumn), QStringLiteral("late news"));

        // A row for New that arrives once another folder is shown is dropped.
        AutoTestGate gate(*p.headers);
        p.headers->autoTestFolder();
        p.headers->whenIdle([&] { p.show(Folder::StoreGood); });
        p.headers->addRow(lateRow(9998));
        gate.open();
        QTRY_VERIFY_WITH_TIMEOUT(!p.headers->isAutoTestRunning(), kLong);
        QCOMPARE(p.headers->currentFolder(), Folder::StoreGood);
        QCOMPARE(p.rowCount(), 0);
    }

    void userActionsDoNothingDuringAnAutoTest() {
        UiFixture f;
        f.trainFilter(kSpamWords, kGoodWords);
        f.fill("newA", 3);
        ListPanes p(f.context());
        QVERIFY(p.ready());
        const QStringList before = p.column(Column::kIndexColumn);
        AutoTestGate gate(*p.headers);
        p.headers->autoTestFolder();

        p.clickRow(1);
        p.select(0, 1);
        p.press(Qt::Key_F2);
        p.press(Qt::Key_Delete);
        p.headers->dropOnFolderRow(2);
        p.clickHeader(Column::kFromColumn);
        p.clickFolder(3);
        QCOMPARE(p.headerPane->from(), QString());
        QCOMPARE(p.column(Column::kIndexColumn), before);
        QCOMPARE(f.store().emailCount("newA"), 3);
        QCOMPARE(p.headers->currentFolder(), Folder::New);
        QVERIFY(f.prompter().told.isEmpty());

        gate.open();
        QTRY_VERIFY_WITH_TIMEOUT(!p.headers->isAutoTestRunning(), kLong);
        QTRY_COMPARE_WITH_TIMEOUT(testedRows(p), 3, kLong);
    }

    // ---- DNSBL test ----

    void dnsblTestNeedsAListSwitchedOn() {
        UiFixture f;
        f.fill("newA", 1);
        ListPanes p(f.context());
        p.select(0, 1);
        p.headers->dnsblTestEmail();
        QCOMPARE(f.prompter().told, QStringList{"DNSBLs Not On!"});
    }

    void dnsblTestAsksTheListsAboutTheRelays() {
        UiFixture f;
        FakeNameServer server([](const std::string& name) {
            return name.rfind("4.3.2.1.", 0) == 0 ? FakeReply::listed(127, 0, 0, 2)
                                                  : FakeReply::noRecords();
        });
        QVERIFY(server.ready());
        f.store().setNameServerIP({127, 0, 0, 1});
        const int listed = addRelayedEmail(f.store(), "1.2.3.4");
        const int clean = addRelayedEmail(f.store(), "5.6.7.8");
        // The objects again, with the resolver asking the fake name server.
        ProcessObjects objects(f.desktop(), server.port());
        objects.resolver.setDnsblZones(2);
        ViewContext context{objects, f.desktop(), f.prompter()};
        ListPanes p(context);
        QVERIFY(p.ready());

        p.headers->clearSelection();
        p.headers->dnsblTestEmail();
        QVERIFY(!p.headers->isDnsblTestRunning());
        QVERIFY(f.prompter().told.isEmpty());
        p.select(p.column(Column::kIndexColumn).indexOf(QString::number(listed)), 1);
        p.headers->dnsblTestEmail();
        QTRY_COMPARE_WITH_TIMEOUT(f.prompter().told, QStringList{"Black Listed IP"}, kLong);
        p.select(p.column(Column::kIndexColumn).indexOf(QString::number(clean)), 1);
        p.headers->dnsblTestEmail();
        QTRY_COMPARE_WITH_TIMEOUT(f.prompter().told,
                                  QStringList({"Black Listed IP", "Not On Black List"}), kLong);
        QCOMPARE(server.queryNames(), std::vector<std::string>({"4.3.2.1.sbl-xbl.spamhaus.org",
                                                                "8.7.6.5.sbl-xbl.spamhaus.org"}));
    }

    // The answer of a silent name server is waited for off the GUI thread: the
    // window's own timers go on meanwhile, and a second request adds nothing.
    void dnsblTestLeavesTheWindowFreeWhileTheNameServerIsSilent() {
        SilentNameServer silent;
        QVERIFY(silent.server.ready());
        FakeNameServer& server = silent.server;
        UiFixture& f = silent.ui;
        ListPanes p(f.context());
        QVERIFY(p.ready());
        p.select(0, 1);
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(10);

        p.headers->dnsblTestEmail();
        QVERIFY(p.headers->isDnsblTestRunning());
        QVERIFY(QApplication::overrideCursor() != nullptr);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
        QTRY_COMPARE_WITH_TIMEOUT(server.queries().size(), std::size_t{1}, kLong);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, kLong);
        QVERIFY(p.headers->isDnsblTestRunning());
        QVERIFY(f.prompter().told.isEmpty());
        p.headers->dnsblTestEmail();
        // The list is the user's meanwhile.
        p.press(Qt::Key_F2);
        QCOMPARE(f.store().emailCount("goodB"), 1);

        QTRY_COMPARE_WITH_TIMEOUT(f.prompter().told, QStringList{"Not On Black List"}, kLong);
        QVERIFY(!p.headers->isDnsblTestRunning());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QCOMPARE(server.queries().size(), std::size_t{1});
    }

    // Closing while the name server is silent: no answer shows once the exit is
    // certain, and a view that goes meanwhile waits for its query and leaves no
    // busy cursor behind.
    void dnsblTestAnswerIsDroppedWhenTheProgramCloses() {
        SilentNameServer silent;
        QVERIFY(silent.server.ready());
        {
            ListPanes p(silent.ui.context());
            p.select(0, 1);
            p.headers->dnsblTestEmail();
            QTRY_COMPARE_WITH_TIMEOUT(silent.server.queries().size(), std::size_t{1}, kLong);
            p.headers->abandonDnsblTest();
            QTRY_VERIFY_WITH_TIMEOUT(!p.headers->isDnsblTestRunning(), kLong);
            QVERIFY(QApplication::overrideCursor() == nullptr);

            p.headers->dnsblTestEmail();
            QTRY_COMPARE_WITH_TIMEOUT(silent.server.queries().size(), std::size_t{2}, kLong);
        }
        QCoreApplication::processEvents();
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(silent.ui.prompter().told.isEmpty());
    }

    // ---- drag and drop ----

    void dropRules() {
        UiFixture f;
        f.fill("newA", 5);
        ListPanes p(f.context());
        QVERIFY(p.ready());

        p.select(0, 1);
        p.headers->dropOnFolderRow(1);
        QCOMPARE(f.prompter().told, QStringList{"Can't Move Emails Into Good Folder"});
        QCOMPARE(f.store().emailCount("goodA"), 0);
        QCOMPARE(f.store().emailCount("newA"), 5);

        p.headers->dropOnFolderRow(2);
        QCOMPARE(f.prompter().told.last(), QStringLiteral("Can't Move Emails Into Bad Folder"));
        QCOMPARE(f.store().emailCount("badA"), 0);
        QCOMPARE(f.store().emailCount("badB"), 1);

        const struct {
            int folderRow;
            const char* key;
        } targets[] = {{3, "goodB"}, {4, "badB"}, {5, "trashA"}};
        for (const auto& target : targets) {
            const int held = f.store().emailCount(target.key);
            p.select(0, 1);
            p.headers->dropOnFolderRow(target.folderRow);
            QCOMPARE(f.store().emailCount(target.key), held + 1);
        }
        p.select(0, 1);
        p.headers->dropOnFolderRow(-1);
        p.headers->dropOnFolderRow(0);
        QCOMPARE(f.store().emailCount("newA"), 1);
        QCOMPARE(f.prompter().told.size(), 2);

        p.show(Folder::Trash);
        p.select(0, 1);
        p.headers->dropOnFolderRow(0);
        QCOMPARE(f.store().emailCount("newA"), 2);
    }

    void dragCarriesTheSelectedIndexesInListOrder() {
        UiFixture f;
        f.fill("newA", 3);
        ListPanes p(f.context());
        p.row(2)->setSelected(true);
        p.row(0)->setSelected(true);
        std::unique_ptr<QMimeData> data(
            p.headers->model()->mimeData(p.headers->selectionModel()->selectedIndexes()));
        QVERIFY(data != nullptr);
        QCOMPARE(data->formats(), QStringList{CHeadersView::kMimeType});
        QCOMPARE(data->data(CHeadersView::kMimeType),
                 (p.text(0, Column::kIndexColumn) + "\n" + p.text(2, Column::kIndexColumn) + "\n")
                     .toLatin1());

        const QImage one = dragPicture(false).toImage();
        const QImage several = dragPicture(true).toImage();
        QVERIFY(!one.isNull());
        QVERIFY(several.width() > one.width() && several.height() > one.height());
        QVERIFY(one.pixelColor(one.width() / 2, one.height() - 3).alpha() > 0);
    }

    // ---- failures ----

    void folderLoadFailureIsReportedAsFatal() {
        UiFixture f;
        ListPanes p(f.context());
        QSignalSpy fatal(p.headers, &CHeadersView::fatalError);
        QCOMPARE(std::rename("HGIndex.hgd", "elsewhere.hgd"), 0);
        p.headers->setActiveFolder(Folder::Good);
        QCOMPARE(fatal.count(), 1);
        const QString text = fatal.front().front().toString();
        QVERIFY2(text.startsWith("Error: Error selecting folder in CHeadersView::setActiveFolder\n"
                                 " line "),
                 qPrintable(text));
        QVERIFY2(text.endsWith(" of file HeadersView"), qPrintable(text));
        QVERIFY(QString::fromStdString(readWholeFile("ErrorLog.txt")).contains(text));
    }
};

GLIMMERFEN_UI_TEST_MAIN(HeadersViewTest)
#include "tst_headersview.moc"
