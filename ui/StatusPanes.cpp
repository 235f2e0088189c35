#include "ui/StatusPanes.h"

#include <QLabel>
#include <QStatusBar>

namespace {

QLabel* addPane(QStatusBar& bar, const QString& placeholder) {
    auto* label = new QLabel(placeholder, &bar);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setMinimumWidth(label->sizeHint().width());
    bar.addPermanentWidget(label);
    return label;
}

}  // namespace

StatusPanes::StatusPanes(QStatusBar& bar)
    : m_dnsbl(addPane(bar, QStringLiteral("DNSBL OFF"))),
      m_bayes(addPane(bar, QStringLiteral("BAYES ON "))),
      m_folder(addPane(bar, QStringLiteral("NEW FOLDER    "))) {
    // The idle text of the prompt pane: prompts cover it while they show.
    bar.addWidget(new QLabel(QStringLiteral("Ready"), &bar), 1);
}

void StatusPanes::setText(StatusPane pane, const QString& text) {
    (pane == StatusPane::Dnsbl ? m_dnsbl : m_bayes)->setText(text);
}

void StatusPanes::setCurrentFolder(const QString& text) {
    m_folder->setText(text);
}

QString StatusPanes::dnsblText() const {
    return m_dnsbl->text();
}

QString StatusPanes::bayesText() const {
    return m_bayes->text();
}

QString StatusPanes::currentFolderText() const {
    return m_folder->text();
}
