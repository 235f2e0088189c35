#include "ui/HeadersView.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QHeaderView>
#include <QKeySequence>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>

#include "analysis/HeaderParser.h"
#include "diag/Error.h"
#include "diag/SourceName.h"
#include "proxy/ProcessObjects.h"
#include "rating/ReceivedPathCheck.h"
#include "ui/DateSortKey.h"
#include "ui/DragPicture.h"
#include "ui/EmailHeaderView.h"
#include "ui/EmailView.h"
#include "ui/OperationGuard.h"
#include "ui/Prompter.h"
#include "ui/QtDesktop.h"

namespace {

// The warnings below name the limit.
static_assert(kFolderLimit == 600);

const char* const kDownloading = "Downloading.  Must wait for download to complete to move emails";
const char* const kNewOverflow =
    "The \"new\" Folder's size limit of 600 emails will be exceeded.\nYour moved email(s) could "
    "be deleted.  Move anyway?";
const char* const kTrashOverflow =
    "The \"trash\" Folder's size limit of 600 emails will be exceeded.\nYour moved email(s) "
    "could be deleted.  Move anyway?";
const char* const kFolderFull =
    "Folder is full.  Must move some emails out of it to make room for more.";
const char* const kPartialMove =
    "Folder's size limit, 600 emails, will only allow some emails.\n        Move some out to make "
    "room for more.\n                 Continue with move?";
const char* const kDeleteOne = "Do you want to DELETE this email?";
const char* const kDeleteSeveral = "Do you want to DELETE these emails?";
const char* const kStopAutoTest = "Auto Test Folder is running.\nDo you want to stop Auto Test?";
const char* const kBayesOff = "Bayes Filter Is Off";
const char* const kDnsblsOff = "DNSBLs Not On!";
const char* const kListed = "Black Listed IP";
const char* const kNotListed = "Not On Black List";
const char* const kNoDropOnGood = "Can't Move Emails Into Good Folder";
const char* const kNoDropOnBad = "Can't Move Emails Into Bad Folder";

const char* const kMoveToNewItem = "Move To &New  \tF4";
const char* const kMoveToStoreGoodItem = "Move To Store &Good  \tF2";
const char* const kMoveToStoreBadItem = "Move To Store &Bad/Spam \tF3";
const char* const kMoveToTrashItem = "Move To &Trash/Del  \tDel";

struct ColumnLayout {
    const char* title;
    int width;
};
constexpr ColumnLayout kColumns[CHeadersView::kColumnCount] = {
    {"From", 180}, {"Subject", 270}, {"Date/Time", 120}, {"To", 100},
    {"Spam", 50},  {"Rating", 50},   {"Index", 0},       {"delTime", 0},
};

bool isHiddenColumn(int column) {
    return column == CHeadersView::kIndexColumn || column == CHeadersView::kDelTimeColumn;
}

// Header texts are bytes in the mail's own character set; Latin-1 shows each
// byte as one character and gives the same bytes back for sorting.
QString latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Display names arrive quoted ("\"Jane Doe\" <jane@example.org>"); the first
// two quotes go.
std::string withoutQuotes(std::string text) {
    for (int removed = 0; removed < 2; ++removed) {
        const auto quote = text.find('"');
        if (quote == std::string::npos) {
            break;
        }
        text.erase(quote, 1);
    }
    return text;
}

QString ratingText(double rating) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", rating);
    return QString::fromLatin1(text);
}

QString moveLimitMessage(Folder target) {
    const QString start = target == Folder::Trash
                              ? QStringLiteral("Can't delete or move to trash more than ")
                              : QStringLiteral("Can't move more than ");
    return start + QString::number(CHeadersView::kMoveLimit) + QStringLiteral(" emails at once.");
}

// The current-folder status pane's text.
QString paneText(Folder folder) {
    switch (folder) {
        case Folder::New:
            return QStringLiteral("NEW FOLDER");
        case Folder::Bad:
            return QStringLiteral("SPAM FOLDER");
        case Folder::Good:
            return QStringLiteral("GOOD FOLDER");
        case Folder::Trash:
            return QStringLiteral("TRASH FOLDER");
        case Folder::StoreGood:
            return QStringLiteral("STORE GOOD");
        case Folder::StoreBad:
            return QStringLiteral("STORE BAD");
    }
    return {};
}

// A move owns the store against the proxy: none starts while a session
// downloads or its refresh is pending, and no session starts until it ends.
class MailMoveClaim {
  public:
    explicit MailMoveClaim(SessionGate& gate) : m_gate(gate), m_claimed(gate.tryClaimMailMove()) {}
    ~MailMoveClaim() {
        if (m_claimed) {
            m_gate.releaseMailMove();
        }
    }
    MailMoveClaim(const MailMoveClaim&) = delete;
    MailMoveClaim& operator=(const MailMoveClaim&) = delete;

    explicit operator bool() const { return m_claimed; }

  private:
    SessionGate& m_gate;
    const bool m_claimed;
};

}  // namespace

CHeadersView::CHeadersView(ViewContext& context, CEmailHeaderView& headerPane, CEmailView& bodyPane,
                           QWidget* parent)
    : QTreeWidget(parent),
      m_context(context),
      m_headerPane(headerPane),
      m_bodyPane(bodyPane),
      m_optionsMenu(new QMenu(this)) {
    setObjectName(QStringLiteral("headersView"));
    setupActions();
}

CHeadersView::~CHeadersView() {
    m_autoTestFlag = false;
    if (m_autoTestThread.joinable()) {
        m_autoTestThread.join();
    }
    if (m_dnsblThread.joinable()) {
        m_dnsblThread.join();
    }
    if (m_dnsblRunning) {
        QApplication::restoreOverrideCursor();
    }
}

// ---- set-up ----

void CHeadersView::initialUpdate() {
    setupColumns();
    m_context.objects.store.cleanAllFolders();
    loadFolder(Folder::New);
    selectFolder(Folder::New);
}

void CHeadersView::setupColumns() {
    setColumnCount(kColumnCount);
    QStringList titles;
    for (const ColumnLayout& column : kColumns) {
        titles << QString::fromLatin1(column.title);
    }
    setHeaderLabels(titles);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);

    QHeaderView* columns = header();
    columns->setStretchLastSection(false);
    columns->setSectionsMovable(false);
    columns->setSectionsClickable(true);
    columns->setMinimumSectionSize(0);
    for (int column = 0; column < kColumnCount; ++column) {
        columns->resizeSection(column, kColumns[column].width);
        if (isHiddenColumn(column)) {
            columns->setSectionResizeMode(column, QHeaderView::Fixed);
        }
    }
    connect(columns, &QHeaderView::sectionResized, this, &CHeadersView::onSectionResized);
    connect(columns, &QHeaderView::sectionClicked, this, &CHeadersView::sortByColumn);
    connect(this, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item, int) { showAndTest(item); });
}

void CHeadersView::setupActions() {
    addMoveAction(QString::fromLatin1(kMoveToNewItem), &CHeadersView::moveToNew);
    addMoveAction(QString::fromLatin1(kMoveToStoreGoodItem), &CHeadersView::moveToStoreGood);
    addMoveAction(QString::fromLatin1(kMoveToStoreBadItem), &CHeadersView::moveToStoreBad);
    addMoveAction(QString::fromLatin1(kMoveToTrashItem), &CHeadersView::moveToTrash);
}

// The key named after the tab is the action's shortcut, bound to this list
// alone: the keys move emails only while the list has the focus.
void CHeadersView::addMoveAction(const QString& menuText, void (CHeadersView::*move)()) {
    const qsizetype tab = menuText.indexOf(QLatin1Char('\t'));
    auto* action = new QAction(menuText.left(tab), this);
    action->setShortcut(QKeySequence(menuText.mid(tab + 1)));
    action->setShortcutContext(Qt::WidgetShortcut);
    connect(action, &QAction::triggered, this, move);
    addAction(action);
    m_optionsMenu->addAction(action);
    m_moveActions << action;
}

// Index and delTime hold the numbers the view works with; the user never sees them.
void CHeadersView::onSectionResized(int column, int, int newSize) {
    if (isHiddenColumn(column) && newSize > 0) {
        header()->resizeSection(column, 0);
    }
}

// ---- folders and rows ----

void CHeadersView::setActiveFolder(Folder folder) {
    showFolder(folder);
}

void CHeadersView::showFolder(std::optional<Folder> folder) {
    try {
        loadFolder(folder);
    } catch (const CError&) {
        const CError error("Error selecting folder", "CHeadersView::setActiveFolder", GF_HERE);
        emit fatalError(QString::fromStdString(error.m_message));
    }
}

// New Emails counts as shown before its rows are read: a row the proxy stores
// meanwhile then reaches the list either from the store or through addRow.
void CHeadersView::loadFolder(std::optional<Folder> folder) {
    clear();
    ++m_generation;
    m_shownFolder = folder;
    m_context.desktop.setNewEmailsShown(folder == Folder::New);
    clearPanes();
    if (!folder) {
        return;
    }
    m_context.objects.store.loadEmailHeaders(folderKey(*folder),
                                             [this](const HeaderRow& row) { insertRow(row); });
}

std::string_view CHeadersView::shownKey() const {
    return m_shownFolder ? folderKey(*m_shownFolder) : std::string_view();
}

void CHeadersView::selectFolder(Folder folder) {
    m_folder = folder;
    emit currentFolderChanged(paneText(folder));
}

void CHeadersView::addRow(const HeaderRow& row) {
    whenIdle([this, row] {
        if (m_shownFolder == Folder::New && rowOfIndex(latin1(row.index)) == nullptr) {
            insertRow(row);
        }
    });
}

void CHeadersView::insertRow(const HeaderRow& row) {
    auto* item = new QTreeWidgetItem;
    item->setText(kFromColumn, latin1(withoutQuotes(row.from)));
    item->setText(kSubjectColumn, latin1(decodeEncodedWord(row.subject)));
    item->setText(kDateTimeColumn, latin1(row.dateTime));
    item->setText(kToColumn, latin1(withoutQuotes(row.to)));
    item->setText(kIndexColumn, latin1(row.index));
    item->setText(kDelTimeColumn, latin1(row.delTime));
    insertTopLevelItem(0, item);
}

QTreeWidgetItem* CHeadersView::rowOfIndex(const QString& index) const {
    for (int row = 0; row < topLevelItemCount(); ++row) {
        if (topLevelItem(row)->text(kIndexColumn) == index) {
            return topLevelItem(row);
        }
    }
    return nullptr;
}

void CHeadersView::clearPanes() {
    m_headerPane.setHeaderFields({}, {}, {});
    m_bodyPane.setBodyText({});
}

QList<QTreeWidgetItem*> CHeadersView::selectedRows() const {
    QList<QTreeWidgetItem*> rows;
    for (int row = 0; row < topLevelItemCount(); ++row) {
        if (topLevelItem(row)->isSelected()) {
            rows << topLevelItem(row);
        }
    }
    return rows;
}

int CHeadersView::indexOf(const QTreeWidgetItem* item) {
    return static_cast<int>(item->text(kIndexColumn).toLong());
}

std::vector<int> CHeadersView::indexesOf(const QList<QTreeWidgetItem*>& rows) {
    std::vector<int> indexes;
    for (const QTreeWidgetItem* row : rows) {
        indexes.push_back(indexOf(row));
    }
    return indexes;
}

void CHeadersView::whenIdle(std::function<void()> work) {
    if (isAutoTestRunning()) {
        m_deferred.push_back(std::move(work));
        return;
    }
    work();
}

// ---- show and test one email ----

void CHeadersView::showAndTest(QTreeWidgetItem* item) {
    if (item == nullptr || isAutoTestRunning()) {
        return;
    }
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        return;
    }
    m_headerPane.setHeaderFields(item->text(kFromColumn), item->text(kToColumn),
                                 item->text(kSubjectColumn));
    if (!m_shownFolder) {
        return;
    }
    try {
        EmailHeader stored;
        std::string text;
        if (!m_context.objects.store.getEmailHeader(indexOf(item), shownKey(), stored, text)) {
            m_bodyPane.setBodyText({});
            return;
        }
        m_bodyPane.setBodyText(latin1(text));
        const TestResult result = rate(text);
        item->setText(kSpamColumn, result.spam);
        item->setText(kRatingColumn, result.rating);
    } catch (const CError& error) {
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    }
}

// The rating comes from the classification itself: the filter's shared last
// rating may already be the proxy's by the time it is read.
CHeadersView::TestResult CHeadersView::rate(const std::string& text) {
    BayesFilter& bayes = m_context.objects.bayes;
    const BayesRating rating = bayes.rateText(text);
    const char* spam = rating.spam ? "Yes" : (bayes.isEnabled() ? "No" : "Off");
    return {QString::fromLatin1(spam), ratingText(rating.rating)};
}

// ---- sorting ----

void CHeadersView::sortByColumn(int column) {
    if (column > kRatingColumn || isAutoTestRunning()) {
        return;
    }
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        return;
    }
    SortState& state = m_sortStates[static_cast<std::size_t>(folderNumber(m_folder))];
    state.column = column;
    state.direction = !state.direction;
    sortRows(column, state.direction);
}

void CHeadersView::sortRows(int column, bool direction) {
    struct Keyed {
        QByteArray text;
        DateSortKey date;
        QTreeWidgetItem* item;
        bool selected;
    };
    std::vector<Keyed> rows;
    for (int row = 0; row < topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = topLevelItem(row);
        const QByteArray text = item->text(column).toLatin1();
        rows.push_back({text,
                        column == kDateTimeColumn ? dateSortKey(text.toStdString()) : DateSortKey{},
                        item, item->isSelected()});
    }
    QTreeWidgetItem* current = currentItem();
    std::stable_sort(rows.begin(), rows.end(), [column, direction](const Keyed& a, const Keyed& b) {
        if (column == kDateTimeColumn) {
            return direction ? b.date < a.date : a.date < b.date;
        }
        return direction ? a.text < b.text : b.text < a.text;
    });

    invisibleRootItem()->takeChildren();
    QList<QTreeWidgetItem*> items;
    for (const Keyed& row : rows) {
        items << row.item;
    }
    addTopLevelItems(items);
    if (current != nullptr) {
        setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    }
    for (const Keyed& row : rows) {
        row.item->setSelected(row.selected);
    }
}

// ---- moves ----

void CHeadersView::moveToNew() {
    moveSelection(Folder::New);
}

void CHeadersView::moveToStoreGood() {
    moveSelection(Folder::StoreGood);
}

void CHeadersView::moveToStoreBad() {
    moveSelection(Folder::StoreBad);
}

void CHeadersView::moveToTrash() {
    moveSelection(Folder::Trash);
}

void CHeadersView::moveSelection(Folder target) {
    if (isAutoTestRunning()) {
        return;
    }
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        return;
    }
    const MailMoveClaim claim(m_context.objects.sessionGate);
    if (!claim) {
        m_context.prompter.tell(QString::fromLatin1(kDownloading));
        return;
    }
    const QList<QTreeWidgetItem*> rows = selectedRows();
    if (rows.size() > kMoveLimit) {
        m_context.prompter.tell(moveLimitMessage(target));
        return;
    }
    if (rows.isEmpty() || !m_shownFolder) {
        return;
    }
    try {
        if (target == Folder::Trash) {
            trashRows(rows);
        } else {
            moveRows(rows, target);
        }
    } catch (const CError& error) {
        reportStoreError(error);
    }
}

void CHeadersView::moveRows(QList<QTreeWidgetItem*> rows, Folder target) {
    if (target == m_shownFolder) {
        return;
    }
    const int admitted = admittedCount(static_cast<int>(rows.size()), target);
    if (admitted == 0) {
        return;
    }
    rows = rows.mid(0, admitted);
    m_context.objects.store.moveEmails(shownKey(), folderKey(target), indexesOf(rows));
    removeRows(rows);
    if (target == Folder::New) {
        trimAndReload();
    }
}

// How many of the selected emails the target can take: all, the first few
// that fit, or none.
int CHeadersView::admittedCount(int selected, Folder target) {
    const int held = m_context.objects.store.emailCount(folderKey(target));
    if (selected + held <= kFolderLimit) {
        return selected;
    }
    if (target == Folder::New) {
        return m_context.prompter.askYesNo(QString::fromLatin1(kNewOverflow)) ? selected : 0;
    }
    if (held >= kFolderLimit) {
        m_context.prompter.tell(QString::fromLatin1(kFolderFull));
        return 0;
    }
    return m_context.prompter.askYesNo(QString::fromLatin1(kPartialMove)) ? kFolderLimit - held : 0;
}

// In the Trash itself the emails go for good.
void CHeadersView::trashRows(const QList<QTreeWidgetItem*>& rows) {
    CDatabase& store = m_context.objects.store;
    if (m_shownFolder == Folder::Trash) {
        const char* question = rows.size() == 1 ? kDeleteOne : kDeleteSeveral;
        if (!m_context.prompter.askYesNo(QString::fromLatin1(question))) {
            return;
        }
        store.deleteTrashEmails(indexesOf(rows));
    } else {
        const int held = store.emailCount(folderKey(Folder::Trash));
        if (rows.size() + held > kFolderLimit &&
            !m_context.prompter.askYesNo(QString::fromLatin1(kTrashOverflow))) {
            return;
        }
        store.moveEmails(shownKey(), folderKey(Folder::Trash), indexesOf(rows));
    }
    removeRows(rows);
    trimAndReload();
}

void CHeadersView::removeRows(const QList<QTreeWidgetItem*>& rows) {
    qDeleteAll(rows);
    emit countsChanged();
}

void CHeadersView::trimAndRefresh() {
    try {
        trimAndReload();
    } catch (const CError& error) {
        reportStoreError(error);
    }
}

void CHeadersView::trimAndReload() {
    CDatabase& store = m_context.objects.store;
    const bool newTrimmed = store.trimFolderToTrash(folderKey(Folder::New));
    const bool trashTrimmed = store.trimTrash();
    if (newTrimmed && m_shownFolder == Folder::New) {
        showFolder(m_shownFolder);
    } else if ((newTrimmed || trashTrimmed) && m_shownFolder == Folder::Trash) {
        showFolder(m_shownFolder);
    }
    if (newTrimmed || trashTrimmed) {
        emit countsChanged();
    }
}

// The list may no longer match the store after a failure halfway through a
// move: it is read again.
void CHeadersView::reportStoreError(const CError& error) {
    m_context.prompter.tell(QString::fromStdString(error.m_message));
    showFolder(m_shownFolder);
    emit countsChanged();
}

void CHeadersView::dropOnFolderRow(int folderListRow) {
    if (isAutoTestRunning()) {
        return;
    }
    const std::optional<Folder> target = folderAtListRow(folderListRow);
    if (!target) {
        return;
    }
    switch (*target) {
        case Folder::New:
            moveToNew();
            break;
        case Folder::Good:
            m_context.prompter.tell(QString::fromLatin1(kNoDropOnGood));
            break;
        case Folder::Bad:
            m_context.prompter.tell(QString::fromLatin1(kNoDropOnBad));
            moveToStoreBad();
            break;
        case Folder::StoreGood:
            moveToStoreGood();
            break;
        case Folder::StoreBad:
            moveToStoreBad();
            break;
        case Folder::Trash:
            moveToTrash();
            break;
    }
}

// ---- DNSBL test ----

void CHeadersView::dnsblTestEmail() {
    DnsResolver& resolver = m_context.objects.resolver;
    if (!resolver.spamhausEnabled() && !resolver.spamcopEnabled()) {
        m_context.prompter.tell(QString::fromLatin1(kDnsblsOff));
        return;
    }
    // A second request while one runs starts nothing: the first one's answer
    // is on its way.
    if (isAutoTestRunning() || isDnsblTestRunning()) {
        return;
    }
    OperationGuard guard(m_context.objects.buildSemaphore);
    const QList<QTreeWidgetItem*> rows = selectedRows();
    if (!guard || rows.isEmpty() || !m_shownFolder) {
        return;
    }
    try {
        EmailHeader stored;
        std::string text;
        if (!m_context.objects.store.getEmailHeader(indexOf(rows.front()), shownKey(), stored,
                                                    text)) {
            return;
        }
        CHeaderParser parser;
        parser.parse(text);
        startDnsblTest(parser.receivedIPs());
    } catch (const CError& error) {
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    }
}

// The store is read above, on this thread; the test thread only asks the
// block lists, and its answer comes back as a queued call. As with the folder
// test, the operation semaphore is not held meanwhile: a slow name server must
// not hold off a filter build.
void CHeadersView::startDnsblTest(std::vector<std::string> receivedIPs) {
    if (m_dnsblThread.joinable()) {
        m_dnsblThread.join();
    }
    m_dnsblRunning = true;
    m_dnsblWanted = true;
    // Busy rather than wait: the window still answers.
    QApplication::setOverrideCursor(Qt::BusyCursor);
    try {
        m_dnsblThread = std::thread([this, receivedIPs] {
            const QString verdict = dnsblVerdict(receivedIPs);
            QMetaObject::invokeMethod(
                this, [this, verdict] { finishDnsblTest(verdict); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        // No thread to be had: the answer is still owed, so ask here.
        finishDnsblTest(dnsblVerdict(receivedIPs));
    }
}

// The text of the answer box; a failure is told in place of an answer.
QString CHeadersView::dnsblVerdict(const std::vector<std::string>& receivedIPs) {
    try {
        const bool listed = checkReceivedPath(receivedIPs, m_context.objects.resolver);
        return QString::fromLatin1(listed ? kListed : kNotListed);
    } catch (const CError& error) {
        return QString::fromStdString(error.m_message);
    } catch (...) {
        const CError recorded("Catch All Error", "CHeadersView::dnsblTestEmail", GF_HERE);
        return QString::fromStdString(recorded.m_message);
    }
}

void CHeadersView::finishDnsblTest(const QString& verdict) {
    if (!m_dnsblRunning) {
        return;
    }
    if (m_dnsblThread.joinable()) {
        m_dnsblThread.join();
    }
    m_dnsblRunning = false;
    QApplication::restoreOverrideCursor();
    if (m_dnsblWanted) {
        m_context.prompter.tell(verdict);
    }
}

// ---- auto test ----

void CHeadersView::autoTestFolder() {
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        return;
    }
    if (isAutoTestRunning()) {
        if (m_context.prompter.askYesNo(QString::fromLatin1(kStopAutoTest))) {
            m_autoTestFlag = false;
        }
        return;
    }
    if (!m_context.objects.bayes.isEnabled()) {
        m_context.prompter.tell(QString::fromLatin1(kBayesOff));
        return;
    }
    if (m_shownFolder) {
        startAutoTest(indexesToTest());
    }
}

// Two or more selected rows are tested alone; otherwise the whole folder is.
std::vector<int> CHeadersView::indexesToTest() const {
    const QList<QTreeWidgetItem*> selected = selectedRows();
    if (selected.size() >= 2) {
        return indexesOf(selected);
    }
    std::vector<int> indexes;
    for (int row = 0; row < topLevelItemCount(); ++row) {
        indexes.push_back(indexOf(topLevelItem(row)));
    }
    return indexes;
}

void CHeadersView::startAutoTest(std::vector<int> indexes) {
    m_autoTestFlag = true;
    m_autoTestRunning = true;
    {
        std::lock_guard lock(m_autoTestMutex);
        m_autoTestFinished = false;
    }
    m_autoTestThread =
        std::thread([this, indexes = std::move(indexes), folder = *m_shownFolder,
                     generation = m_generation] { runAutoTest(indexes, folder, generation); });
}

void CHeadersView::setAutoTestStepHook(std::function<void()> hook) {
    m_autoTestStepHook = std::move(hook);
}

// The test thread reads the store and the filter only; every result goes to
// the GUI thread as a queued call.
void CHeadersView::runAutoTest(const std::vector<int>& indexes, Folder folder,
                               std::uint64_t generation) {
    try {
        for (const int index : indexes) {
            if (m_autoTestStepHook) {
                m_autoTestStepHook();
            }
            testOneEmail(index, folder, generation);
            if (!m_autoTestFlag) {
                break;
            }
        }
    } catch (const CError&) {
        // On record already; the test ends here.
    } catch (...) {
        diag::recordError("Catch All Error", "CHeadersView::runAutoTest", GF_HERE);
    }
    QMetaObject::invokeMethod(
        this, [this] { finishAutoTest(); }, Qt::QueuedConnection);
    {
        std::lock_guard lock(m_autoTestMutex);
        m_autoTestFinished = true;
    }
    m_autoTestDone.notify_all();
}

// An email the filter builder has moved away meanwhile is passed over.
void CHeadersView::testOneEmail(int index, Folder folder, std::uint64_t generation) {
    EmailHeader stored;
    std::string text;
    if (!m_context.objects.store.getEmailHeader(index, folderKey(folder), stored, text)) {
        return;
    }
    const TestResult result = rate(text);
    QMetaObject::invokeMethod(
        this, [this, generation, index, result] { applyTestResult(generation, index, result); },
        Qt::QueuedConnection);
}

void CHeadersView::applyTestResult(std::uint64_t generation, int index, const TestResult& result) {
    QTreeWidgetItem* row =
        generation == m_generation ? rowOfIndex(QString::number(index)) : nullptr;
    if (row == nullptr) {
        return;
    }
    row->setText(kSpamColumn, result.spam);
    row->setText(kRatingColumn, result.rating);
    scrollToItem(row);
}

bool CHeadersView::stopAutoTest(std::chrono::milliseconds wait) {
    if (!isAutoTestRunning()) {
        return true;
    }
    m_autoTestFlag = false;
    {
        std::unique_lock lock(m_autoTestMutex);
        if (!m_autoTestDone.wait_for(lock, wait, [this] { return m_autoTestFinished; })) {
            return false;
        }
    }
    finishAutoTest();
    return true;
}

// Also reached from stopAutoTest, before the thread's own call arrives; the
// second call finds nothing left to do.
void CHeadersView::finishAutoTest() {
    if (!isAutoTestRunning()) {
        return;
    }
    if (m_autoTestThread.joinable()) {
        m_autoTestThread.join();
    }
    m_autoTestFlag = false;
    m_autoTestRunning = false;
    while (!m_deferred.empty() && !isAutoTestRunning()) {
        const std::function<void()> work = std::move(m_deferred.front());
        m_deferred.pop_front();
        work();
    }
    emit autoTestEnded();
}

// ---- drag and context menu ----

void CHeadersView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_pressPoint = event->position().toPoint();
    }
    QTreeWidget::mousePressEvent(event);
}

QStringList CHeadersView::mimeTypes() const {
    return {QString::fromLatin1(kMimeType)};
}

QMimeData* CHeadersView::mimeData(const QList<QTreeWidgetItem*>& items) const {
    QList<QTreeWidgetItem*> rows = items;
    std::sort(rows.begin(), rows.end(), [this](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return indexOfTopLevelItem(a) < indexOfTopLevelItem(b);
    });
    QByteArray indexes;
    for (const QTreeWidgetItem* row : rows) {
        indexes += row->text(kIndexColumn).toLatin1() + '\n';
    }
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kMimeType), indexes);
    return data;
}

// The picture hangs from the cursor where the row was grabbed.
void CHeadersView::startDrag(Qt::DropActions) {
    const QList<QTreeWidgetItem*> rows = selectedRows();
    if (rows.isEmpty()) {
        return;
    }
    const QPixmap picture = dragPicture(rows.size() > 1);
    const QRect grabbed = visualItemRect(itemAt(m_pressPoint));
    const QPoint hotSpot(std::clamp(m_pressPoint.x(), 0, picture.width() - 1),
                         std::clamp(m_pressPoint.y() - grabbed.top(), 0, picture.height() - 1));
    auto* drag = new QDrag(this);
    drag->setMimeData(mimeData(rows));
    drag->setPixmap(picture);
    drag->setHotSpot(hotSpot);
    drag->exec(Qt::MoveAction);
}

void CHeadersView::contextMenuEvent(QContextMenuEvent* event) {
    m_optionsMenu->exec(event->globalPos());
}
