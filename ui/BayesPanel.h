#pragma once

#include <QDialog>

#include "store/ProgramState.h"
#include "ui/ViewContext.h"

class QComboBox;
class QPushButton;

// The DNSBL panel: switches each of the two DNS block lists on or off. Every
// change is stored in the state byte and handed to the resolver at once, so
// the panel keeps nothing of its own and closing it saves or undoes nothing.
class CBayesPanel : public QDialog {
    Q_OBJECT

  public:
    CBayesPanel(ViewContext& context, QWidget* parent = nullptr);

  private:
    QComboBox* makeSwitch(const QString& name, const QString& service);
    void showStoredState();
    void switchList(QComboBox* box, ProgramState::Switch list);

    ViewContext& m_context;
    QComboBox* m_spamhaus;
    QComboBox* m_spamcop;
    QPushButton* m_close;
};
