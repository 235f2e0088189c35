#include "ui/IpAddressEdit.h"

#include <utility>

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace {

constexpr int kFieldCount = 4;

// Refuses any keystroke that would make a field something other than a number
// from 0 to 255, so reading a field never has to clamp or guess.
const QRegularExpression& numberPattern() {
    static const QRegularExpression pattern(
        QStringLiteral("(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])?"));
    return pattern;
}

}  // namespace

IpAddressEdit::IpAddressEdit(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    const int width = fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12;
    for (int i = 0; i < kFieldCount; ++i) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("field%1").arg(i));
        field->setValidator(new QRegularExpressionValidator(numberPattern(), field));
        field->setMaxLength(3);
        field->setAlignment(Qt::AlignCenter);
        field->setMaximumWidth(width);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, i] { onEdited(i); });
        if (i > 0) {
            layout->addWidget(new QLabel(QStringLiteral("."), this));
        }
        layout->addWidget(field);
        m_fields[static_cast<std::size_t>(i)] = field;
    }
    layout->addStretch();
    setFocusProxy(m_fields[0]);
}

void IpAddressEdit::setAddress(const Address& address) {
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        m_fields[i]->setText(QString::number(address[i]));
    }
}

IpAddressEdit::Address IpAddressEdit::address() const {
    Address address{};
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        // The validator lets only 0 to 255 or nothing through.
        address[i] = static_cast<std::uint8_t>(m_fields[i]->text().toInt());
    }
    return address;
}

QString IpAddressEdit::text() const {
    const Address a = address();
    return QStringLiteral("%1.%2.%3.%4").arg(a[0]).arg(a[1]).arg(a[2]).arg(a[3]);
}

void IpAddressEdit::onEdited(int index) {
    const QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    if (field->text().size() == field->maxLength() &&
        field->cursorPosition() == field->maxLength() && index + 1 < kFieldCount) {
        focusField(index + 1);
        m_advanced = true;
    }
}

void IpAddressEdit::focusField(int index) {
    if (index < 0 || index >= kFieldCount) {
        return;
    }
    QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    field->setFocus();
    field->selectAll();
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        m_advanced = false;
    }
    if (event->type() != QEvent::KeyPress) {
        return QWidget::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    // The point that people type after a third digit belongs to the move that
    // digit already made.
    const bool advanced = std::exchange(m_advanced, false);
    for (int i = 0; i < kFieldCount; ++i) {
        const QLineEdit* field = m_fields[static_cast<std::size_t>(i)];
        if (watched != field) {
            continue;
        }
        // People type addresses with their points; the point itself is never
        // part of a number, so it means "next number".
        if (key->key() == Qt::Key_Period) {
            if (!advanced && !field->text().isEmpty()) {
                focusField(i + 1);
            }
            return true;
        }
        if (key->key() == Qt::Key_Backspace && field->text().isEmpty() && i > 0) {
            QLineEdit* previous = m_fields[static_cast<std::size_t>(i - 1)];
            previous->setFocus();
            previous->deselect();
            previous->end(false);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
