#include "ui/PortConflictDialog.h"

#include <algorithm>

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

PortConflictDialog::PortConflictDialog(int currentPort, const QString& account, QWidget* parent)
    : QDialog(parent),
      m_port(currentPort),
      m_message(new QPlainTextEdit(this)),
      m_edit(new QLineEdit(this)),
      m_ok(new QPushButton(QStringLiteral("OK"), this)) {
    setWindowTitle(QStringLiteral("WARNING: Server Port Conflict"));
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setReadOnly(true);
    const QString accountLine =
        account == QStringLiteral("main") ? QString() : QStringLiteral("Account ") + account +
                                                            QStringLiteral(":\n");
    m_message->setPlainText(
        accountLine + QStringLiteral("There is a Server Port conflict.  The current port number ") +
        QString::number(currentPort) + QStringLiteral(" must be changed."));
    m_edit->setObjectName(QStringLiteral("port"));
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);

    auto* group =
        new QGroupBox(QStringLiteral("Enter Another Local Server Port Number (1025-5000)"), this);
    group->setObjectName(QStringLiteral("portGroup"));
    auto* groupLayout = new QHBoxLayout(group);
    groupLayout->addWidget(m_edit);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_message);
    layout->addWidget(group);
    layout->addLayout(buttons);

    connect(m_ok, &QPushButton::clicked, this, &PortConflictDialog::accept);
    m_edit->setFocus();
}

void PortConflictDialog::accept() {
    static const QString kDigits = QStringLiteral("0123456789");
    const QString text = m_edit->text().left(6);
    const bool valid = !text.isEmpty() && std::all_of(text.begin(), text.end(),
                                                      [](QChar c) { return kDigits.contains(c); });
    if (!valid) {
        QMessageBox::information(this, windowTitle(),
                                 QStringLiteral("Must Enter a valid port number"));
        return;
    }
    m_port = text.toInt();
    QDialog::accept();
}
