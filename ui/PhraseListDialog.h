#pragma once

#include <QDialog>
#include <QString>

#include "rating/FilterList.h"

class Prompter;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The editor of one phrase list. The rows are a working copy: the list object
// and its file change only when the user confirms with OK, so the proxy never
// rates a message against a half-edited list. The black and white list
// dialogs differ only in their title and the list they edit.
class PhraseListDialog : public QDialog {
    Q_OBJECT

  public:
    // The longest phrase, in characters, that Add and Edit take from the edit box.
    static constexpr int kMaxPhrase = 80;

  public slots:
    // Closing in any way but OK (Cancel, Esc, the close box) asks before
    // throwing changes away.
    void reject() override;

  protected:
    PhraseListDialog(FilterList& list, Prompter& prompter, const QString& title, QWidget* parent);

  private:
    void buildLayout();
    void loadRows();
    void appendRow(const QString& phrase, const QString& field, const QString& caseText);
    QString readPhrase() const;
    int selectedRow() const;
    ListRows rows() const;
    bool ask(const QString& text);

    void add();
    void edit();
    void remove();
    void showRow(QTreeWidgetItem* item);
    void confirm();

    FilterList& m_list;
    Prompter& m_prompter;
    bool m_changed = false;

    QLineEdit* m_phrase;
    QComboBox* m_field;
    QComboBox* m_case;
    QTreeWidget* m_rows;
    QPushButton* m_add;
    QPushButton* m_edit;
    QPushButton* m_delete;
    QPushButton* m_cancel;
    QPushButton* m_ok;
};
