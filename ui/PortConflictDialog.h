#pragma once

#include <QDialog>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// Asks for another local port when the proxy cannot bind its own. Closes only
// with a number; Escape or closing the window keeps the current port.
class PortConflictDialog : public QDialog {
    Q_OBJECT

  public:
    // `account` is named above the message unless it is "main", the one every
    // installation has.
    explicit PortConflictDialog(int currentPort, const QString& account = QStringLiteral("main"),
                                QWidget* parent = nullptr);

    int port() const { return m_port; }

  public slots:
    void accept() override;

  private:
    int m_port;
    QPlainTextEdit* m_message;
    QLineEdit* m_edit;
    QPushButton* m_ok;
};
