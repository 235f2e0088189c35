#pragma once

#include <QTreeWidget>

#include "ui/ViewContext.h"

class CHeadersView;

// The six folders of the store with the number of emails in each. A click
// loads a folder into the header list; the rows take the emails dragged out of
// the header list.
class CFoldersView : public QTreeWidget {
    Q_OBJECT

  public:
    static constexpr int kColumnWidth = 150;

    CFoldersView(ViewContext& context, CHeadersView& headers, QWidget* parent = nullptr);

    // The two columns and six rows, then the counts.
    void initialUpdate();
    // Reads every folder's count from the store. GUI thread only.
    void refreshCounts();

    // The row marked as the target of the drag over the list; -1 for none.
    int dropTargetRow() const { return m_dropRow; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void onRowClicked(QTreeWidgetItem* item);
    void showCurrentFolder();
    int rowAt(const QPoint& point) const;
    void markDropRow(int row);

    ViewContext& m_context;
    CHeadersView& m_headers;
    int m_dropRow = -1;
};
