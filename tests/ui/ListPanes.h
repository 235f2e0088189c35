#pragma once

#include <memory>
#include <string>

#include <QHeaderView>
#include <QMimeData>
#include <QVBoxLayout>
#include <QWidget>
#include <QtTest>

#include "ui/EmailHeaderView.h"
#include "ui/EmailView.h"
#include "ui/FoldersView.h"
#include "ui/HeadersView.h"
#include "ui/ViewContext.h"

// The upper and lower panes of the main window in one shown window, set up as
// at start-up (New Emails loaded), for driving with mouse and keys.
class ListPanes {
  public:
    explicit ListPanes(ViewContext& context)
        : window(std::make_unique<QWidget>()),
          headerPane(new CEmailHeaderView(window.get())),
          bodyPane(new CEmailView(window.get())),
          headers(new CHeadersView(context, *headerPane, *bodyPane, window.get())),
          folders(new CFoldersView(context, *headers, window.get())) {
        auto* layout = new QVBoxLayout(window.get());
        layout->addWidget(folders);
        layout->addWidget(headers);
        layout->addWidget(headerPane);
        layout->addWidget(bodyPane);
        window->resize(1000, 900);
        folders->initialUpdate();
        headers->initialUpdate();
        window->show();
        window->activateWindow();
    }

    bool ready() { return QTest::qWaitForWindowActive(window.get()); }

    QTreeWidgetItem* row(int position) const { return headers->topLevelItem(position); }
    int rowCount() const { return headers->topLevelItemCount(); }
    QString text(int position, int column) const { return row(position)->text(column); }
    QStringList column(int column) const {
        QStringList texts;
        for (int position = 0; position < rowCount(); ++position) {
            texts << text(position, column);
        }
        return texts;
    }

    // Selects `count` rows from `first` on, as a shift-click would.
    void select(int first, int count) const {
        headers->clearSelection();
        for (int position = first; position < first + count; ++position) {
            row(position)->setSelected(true);
        }
    }

    void clickRow(int position) const {
        headers->scrollToItem(row(position));
        QTest::mouseClick(headers->viewport(), Qt::LeftButton, {},
                          headers->visualItemRect(row(position)).center());
    }

    void clickHeader(int column) const {
        QHeaderView* bar = headers->header();
        QTest::mouseClick(bar->viewport(), Qt::LeftButton, {},
                          QPoint(bar->sectionViewportPosition(column) + 5, bar->height() / 2));
    }

    void clickFolder(int folderRow) const {
        QTest::mouseClick(folders->viewport(), Qt::LeftButton, {},
                          folders->visualItemRect(folders->topLevelItem(folderRow)).center());
    }

    // A key on the focused header list, as the user would press it.
    void press(Qt::Key key) const {
        headers->setFocus();
        QTest::keyClick(headers, key);
    }

    // Shows a folder as a click on the folder list does.
    void show(Folder folder) const {
        headers->setActiveFolder(folder);
        headers->selectFolder(folder);
    }

    std::unique_ptr<QWidget> window;
    CEmailHeaderView* headerPane;
    CEmailView* bodyPane;
    CHeadersView* headers;
    CFoldersView* folders;
};
