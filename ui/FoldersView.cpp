#include "ui/FoldersView.h"

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>

#include "proxy/ProcessObjects.h"
#include "store/Folder.h"
#include "ui/HeadersView.h"
#include "ui/OperationGuard.h"

namespace {

bool carriesEmails(const QMimeData* data) {
    return data != nullptr && data->hasFormat(QString::fromLatin1(CHeadersView::kMimeType));
}

}  // namespace

CFoldersView::CFoldersView(ViewContext& context, CHeadersView& headers, QWidget* parent)
    : QTreeWidget(parent), m_context(context), m_headers(headers) {
    setObjectName(QStringLiteral("foldersView"));
}

void CFoldersView::initialUpdate() {
    setColumnCount(2);
    setHeaderLabels({QStringLiteral("Folder"), QStringLiteral("Number of Emails")});
    header()->setStretchLastSection(false);
    header()->resizeSection(0, kColumnWidth);
    header()->resizeSection(1, kColumnWidth);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    for (int row = 0; row < static_cast<int>(kAllFolders.size()); ++row) {
        const std::string_view name = folderDisplayName(*folderAtListRow(row));
        addTopLevelItem(new QTreeWidgetItem(
            {QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())), QString()}));
    }
    connect(this, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item, int) { onRowClicked(item); });
    connect(&m_headers, &CHeadersView::currentFolderChanged, this,
            &CFoldersView::showCurrentFolder);
    connect(&m_headers, &CHeadersView::countsChanged, this, &CFoldersView::refreshCounts);
    showCurrentFolder();
    refreshCounts();
}

void CFoldersView::refreshCounts() {
    for (int row = 0; row < topLevelItemCount(); ++row) {
        const std::optional<Folder> folder = folderAtListRow(row);
        if (!folder) {
            break;
        }
        int count = 0;
        const std::string text = m_context.objects.store.getEmailCount(folderKey(*folder), count);
        topLevelItem(row)->setText(1, QString::fromStdString(text));
    }
}

// A click below the rows must not take the selection away from the folder shown.
void CFoldersView::mousePressEvent(QMouseEvent* event) {
    if (itemAt(event->position().toPoint()) == nullptr) {
        event->accept();
        return;
    }
    QTreeWidget::mousePressEvent(event);
}

void CFoldersView::onRowClicked(QTreeWidgetItem* item) {
    const std::optional<Folder> folder = folderAtListRow(indexOfTopLevelItem(item));
    if (m_headers.isAutoTestRunning() || !folder) {
        showCurrentFolder();
        return;
    }
    OperationGuard guard(m_context.objects.buildSemaphore);
    if (!guard) {
        showCurrentFolder();
        return;
    }
    if (m_headers.currentFolder() != *folder) {
        m_headers.setActiveFolder(*folder);
    }
    m_headers.selectFolder(*folder);
}

// The selected row follows the header list's folder, also after an ignored click.
void CFoldersView::showCurrentFolder() {
    if (QTreeWidgetItem* row = topLevelItem(folderListRow(m_headers.currentFolder()))) {
        setCurrentItem(row);
        return;
    }
    clearSelection();
}

int CFoldersView::rowAt(const QPoint& point) const {
    QTreeWidgetItem* item = itemAt(point);
    return item != nullptr ? indexOfTopLevelItem(item) : -1;
}

void CFoldersView::markDropRow(int row) {
    if (row == m_dropRow) {
        return;
    }
    if (QTreeWidgetItem* old = topLevelItem(m_dropRow)) {
        for (int column = 0; column < columnCount(); ++column) {
            old->setData(column, Qt::BackgroundRole, QVariant());
            old->setData(column, Qt::ForegroundRole, QVariant());
        }
    }
    if (QTreeWidgetItem* target = topLevelItem(row)) {
        for (int column = 0; column < columnCount(); ++column) {
            target->setBackground(column, palette().brush(QPalette::Highlight));
            target->setForeground(column, palette().brush(QPalette::HighlightedText));
        }
    }
    m_dropRow = row;
}

void CFoldersView::dragEnterEvent(QDragEnterEvent* event) {
    if (!carriesEmails(event->mimeData())) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
}

void CFoldersView::dragMoveEvent(QDragMoveEvent* event) {
    if (!carriesEmails(event->mimeData())) {
        event->ignore();
        return;
    }
    markDropRow(rowAt(event->position().toPoint()));
    event->acceptProposedAction();
}

void CFoldersView::dragLeaveEvent(QDragLeaveEvent* event) {
    markDropRow(-1);
    event->accept();
}

// The move runs after the drop has been delivered, so that its questions do
// not open while the drag is still in progress.
void CFoldersView::dropEvent(QDropEvent* event) {
    markDropRow(-1);
    if (!carriesEmails(event->mimeData())) {
        event->ignore();
        return;
    }
    const int row = rowAt(event->position().toPoint());
    event->acceptProposedAction();
    QMetaObject::invokeMethod(
        &m_headers, [headers = &m_headers, row] { headers->dropOnFolderRow(row); },
        Qt::QueuedConnection);
}
