#pragma once

#include <QString>

#include "desktop/Desktop.h"

class QLabel;
class QStatusBar;

// The status bar's panes beside the prompt pane: the block lists' state, the
// filter's state and the folder the header list shows. Each pane is sized by
// its placeholder text, as wide as its widest text.
class StatusPanes {
  public:
    explicit StatusPanes(QStatusBar& bar);

    void setText(StatusPane pane, const QString& text);
    void setCurrentFolder(const QString& text);

    QString dnsblText() const;
    QString bayesText() const;
    QString currentFolderText() const;

  private:
    QLabel* m_dnsbl;
    QLabel* m_bayes;
    QLabel* m_folder;
};
