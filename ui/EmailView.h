#pragma once

#include <QString>
#include <QTextEdit>

// The stored text of the email last clicked in the header list. Mail is shown
// as plain text: markup in a message is never interpreted.
class CEmailView : public QTextEdit {
    Q_OBJECT

  public:
    explicit CEmailView(QWidget* parent = nullptr);

    // Replaces the whole text; an empty text clears the pane.
    void setBodyText(const QString& text);
};
