#include "ui/PhraseListDialog.h"

#include <algorithm>
#include <array>

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/Prompter.h"

namespace {

// Indexed by the field and case codes of a list entry, so a drop-down's index
// is the code it stands for.
const std::array<QString, 3> kFieldTexts = {QStringLiteral("From"), QStringLiteral("Subject"),
                                            QStringLiteral("To")};
const std::array<QString, 2> kCaseTexts = {QStringLiteral("Insensitive"),
                                           QStringLiteral("Sensitive")};

enum Column { kPhraseColumn, kFieldColumn, kCaseColumn };

int fieldIndexOf(const QString& text) {
    if (text == kFieldTexts[FilterListEntry::kFrom]) {
        return FilterListEntry::kFrom;
    }
    return text == kFieldTexts[FilterListEntry::kSubject] ? FilterListEntry::kSubject
                                                          : FilterListEntry::kTo;
}

int caseIndexOf(const QString& text) {
    return text == kCaseTexts[FilterListEntry::kInsensitive] ? FilterListEntry::kInsensitive
                                                             : FilterListEntry::kSensitive;
}

// The list file holds bytes: a phrase that the file would cut at its byte
// limit could be cut inside a character, so whole characters are dropped
// first and the row shows exactly what will be stored.
QString fitStoredLength(QString phrase) {
    while (phrase.toUtf8().size() > static_cast<qsizetype>(FilterList::kMaxSavedPhrase)) {
        const bool pair = phrase.size() >= 2 && phrase.back().isLowSurrogate();
        phrase.chop(pair ? 2 : 1);
    }
    return phrase;
}

QPushButton* makeButton(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    return button;
}

}  // namespace

PhraseListDialog::PhraseListDialog(FilterList& list, Prompter& prompter, const QString& title,
                                   QWidget* parent)
    : QDialog(parent),
      m_list(list),
      m_prompter(prompter),
      m_phrase(new QLineEdit(this)),
      m_field(new QComboBox(this)),
      m_case(new QComboBox(this)),
      m_rows(new QTreeWidget(this)),
      m_add(makeButton(QStringLiteral("Add"), QStringLiteral("add"), this)),
      m_edit(makeButton(QStringLiteral("Edit"), QStringLiteral("edit"), this)),
      m_delete(makeButton(QStringLiteral("Delete"), QStringLiteral("delete"), this)),
      m_cancel(makeButton(QStringLiteral("Cancel"), QStringLiteral("cancel"), this)),
      m_ok(makeButton(QStringLiteral("OK"), QStringLiteral("ok"), this)) {
    setWindowTitle(title);
    m_phrase->setObjectName(QStringLiteral("phrase"));
    m_field->setObjectName(QStringLiteral("field"));
    m_field->addItems({QStringLiteral("From"), QStringLiteral("Subject"), QStringLiteral("To")});
    m_case->setObjectName(QStringLiteral("case"));
    m_case->addItems({QStringLiteral("Case Insensitive"), QStringLiteral("Case Sensitive")});
    m_ok->setDefault(true);

    m_rows->setObjectName(QStringLiteral("list"));
    m_rows->setHeaderLabels(
        {QStringLiteral("Filter Phrase"), QStringLiteral("Field"), QStringLiteral("Case")});
    m_rows->header()->setStretchLastSection(false);
    m_rows->setColumnWidth(kPhraseColumn, 200);
    m_rows->setColumnWidth(kFieldColumn, 50);
    m_rows->setColumnWidth(kCaseColumn, 70);
    m_rows->setRootIsDecorated(false);
    m_rows->setItemsExpandable(false);
    m_rows->setUniformRowHeights(true);
    m_rows->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_rows->setSelectionMode(QAbstractItemView::SingleSelection);

    buildLayout();
    loadRows();

    connect(m_add, &QPushButton::clicked, this, &PhraseListDialog::add);
    connect(m_edit, &QPushButton::clicked, this, &PhraseListDialog::edit);
    connect(m_delete, &QPushButton::clicked, this, &PhraseListDialog::remove);
    connect(m_rows, &QTreeWidget::itemClicked, this, &PhraseListDialog::showRow);
    connect(m_ok, &QPushButton::clicked, this, &PhraseListDialog::confirm);
    connect(m_cancel, &QPushButton::clicked, this, &PhraseListDialog::reject);
    m_phrase->setFocus();
}

void PhraseListDialog::buildLayout() {
    auto* entry = new QHBoxLayout;
    entry->addWidget(m_phrase, 1);
    entry->addWidget(m_field);
    entry->addWidget(m_case);

    auto* commands = new QVBoxLayout;
    commands->addWidget(m_add);
    commands->addWidget(m_edit);
    commands->addWidget(m_delete);
    commands->addStretch();
    auto* middle = new QHBoxLayout;
    middle->addWidget(m_rows, 1);
    middle->addLayout(commands);

    auto* closing = new QHBoxLayout;
    closing->addStretch();
    closing->addWidget(m_cancel);
    closing->addWidget(m_ok);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(entry);
    layout->addLayout(middle, 1);
    layout->addLayout(closing);
    resize(sizeHint().expandedTo(QSize(460, 280)));
}

// The list reloads its file first, so the dialog shows what is stored now.
void PhraseListDialog::loadRows() {
    ListRows rows;
    m_list.showInList(rows);
    for (const ListRow& row : rows) {
        appendRow(QString::fromStdString(row.phrase), QString::fromStdString(row.field),
                  QString::fromStdString(row.caseText));
    }
    m_field->setCurrentIndex(FilterListEntry::kFrom);
    m_case->setCurrentIndex(FilterListEntry::kInsensitive);
}

void PhraseListDialog::appendRow(const QString& phrase, const QString& field,
                                 const QString& caseText) {
    new QTreeWidgetItem(m_rows, QStringList{phrase, field, caseText});
}

// Empty when the edit box is empty: Add and Edit then do nothing.
QString PhraseListDialog::readPhrase() const {
    return fitStoredLength(m_phrase->text().left(kMaxPhrase));
}

int PhraseListDialog::selectedRow() const {
    int first = -1;
    for (QTreeWidgetItem* item : m_rows->selectedItems()) {
        const int row = m_rows->indexOfTopLevelItem(item);
        first = first < 0 ? row : std::min(first, row);
    }
    return first;
}

ListRows PhraseListDialog::rows() const {
    ListRows rows;
    for (int row = 0; row < m_rows->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = m_rows->topLevelItem(row);
        rows.push_back(ListRow{item->text(kPhraseColumn).toStdString(),
                               item->text(kFieldColumn).toStdString(),
                               item->text(kCaseColumn).toStdString()});
    }
    return rows;
}

bool PhraseListDialog::ask(const QString& text) {
    return m_prompter.askYesNo(text, Prompter::kTitle, Prompter::Icon::None);
}

void PhraseListDialog::add() {
    const QString phrase = readPhrase();
    if (phrase.isEmpty()) {
        return;
    }
    m_changed = true;
    appendRow(phrase, kFieldTexts[m_field->currentIndex()], kCaseTexts[m_case->currentIndex()]);
}

void PhraseListDialog::edit() {
    const int row = selectedRow();
    if (row < 0) {
        return;
    }
    const QString phrase = readPhrase();
    if (phrase.isEmpty()) {
        return;
    }
    const int field = m_field->currentIndex();
    const int caseIndex = m_case->currentIndex();
    if (!ask(QStringLiteral("Are you sure you want to edit the selected item?"))) {
        return;
    }
    m_changed = true;
    QTreeWidgetItem* item = m_rows->topLevelItem(row);
    item->setText(kPhraseColumn, phrase);
    item->setText(kFieldColumn, kFieldTexts[field]);
    item->setText(kCaseColumn, kCaseTexts[caseIndex]);
}

void PhraseListDialog::remove() {
    const int row = selectedRow();
    if (row < 0 || !ask(QStringLiteral("Are you sure you want to delete the selected item?"))) {
        return;
    }
    m_changed = true;
    delete m_rows->takeTopLevelItem(row);
    // Nothing is selected afterwards, so a second Delete cannot silently aim
    // at a row the user never picked.
    m_rows->clearSelection();
}

void PhraseListDialog::showRow(QTreeWidgetItem* item) {
    m_phrase->setText(item->text(kPhraseColumn));
    m_field->setCurrentIndex(fieldIndexOf(item->text(kFieldColumn)));
    m_case->setCurrentIndex(caseIndexOf(item->text(kCaseColumn)));
}

void PhraseListDialog::confirm() {
    if (!m_changed) {
        accept();
        return;
    }
    if (!ask(QStringLiteral("Do You Want To Update The List?"))) {
        return;
    }
    if (m_list.replaceFromList(rows())) {
        accept();
        return;
    }
    // The list object took the rows before its file refused them: it goes back
    // to the stored entries (a list without a file has none), so the proxy
    // does not rate by a list the user has just been told was not saved.
    if (!m_list.load()) {
        m_list.replaceFromList({});
    }
    m_prompter.tell(QStringLiteral("The list could not be saved to \"") +
                        QString::fromStdString(m_list.fileName()) +
                        QStringLiteral("\".\nYour changes are still shown here; check that the "
                                       "working folder can be written and press OK again."),
                    Prompter::kTitle, Prompter::Icon::Warning);
}

void PhraseListDialog::reject() {
    if (m_changed && !ask(QStringLiteral("Changes have been made.  Exit without saving?"))) {
        return;
    }
    QDialog::reject();
}
