#include "ui/TimedBox.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

CTimedBox::CTimedBox(QWidget* parent)
    : QDialog(parent),
      m_edit(new QPlainTextEdit(this)),
      m_ok(new QPushButton(QStringLiteral("OK"), this)),
      m_wait(new QPushButton(QStringLiteral("Wait"), this)) {
    setWindowTitle(QStringLiteral("Error Message:"));
    m_edit->setObjectName(QStringLiteral("message"));
    m_edit->setReadOnly(true);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    m_wait->setObjectName(QStringLiteral("wait"));
    m_wait->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_wait);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_edit);
    layout->addLayout(buttons);

    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CTimedBox::onTimeout);
    connect(m_ok, &QPushButton::clicked, this, &CTimedBox::onOk);
    connect(m_wait, &QPushButton::clicked, this, &CTimedBox::onWait);
}

void CTimedBox::setMessage(const QString& message) {
    m_message = message;
}

void CTimedBox::setDuration(std::chrono::milliseconds duration) {
    m_duration = duration;
}

void CTimedBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    m_waiting = false;
    m_edit->setPlainText(m_message);
    m_timer.start(m_duration);
}

// A box closed by Escape or by the exit protocol must not be closed again later.
void CTimedBox::hideEvent(QHideEvent* event) {
    m_timer.stop();
    QDialog::hideEvent(event);
}

void CTimedBox::onTimeout() {
    if (!m_waiting) {
        done(QDialog::Rejected);
    }
}

void CTimedBox::onWait() {
    m_waiting = true;
}

void CTimedBox::onOk() {
    m_timer.stop();
    accept();
}
