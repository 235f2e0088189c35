#include "ui/EmailHeaderView.h"

#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

namespace {

constexpr int kLabelPixelSize = 12;
constexpr int kAddressFieldWidth = 230;

QLineEdit* makeField(const QString& name, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setReadOnly(true);
    return field;
}

QLabel* makeLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    return label;
}

// Long texts show from their start; the rest is reached by scrolling the field.
void showFromStart(QLineEdit* field, const QString& text) {
    field->setText(text);
    field->setCursorPosition(0);
}

}  // namespace

CEmailHeaderView::CEmailHeaderView(QWidget* parent)
    : QWidget(parent),
      m_from(makeField(QStringLiteral("from"), this)),
      m_to(makeField(QStringLiteral("to"), this)),
      m_subject(makeField(QStringLiteral("subject"), this)) {
    QFont bold = font();
    bold.setBold(true);
    bold.setPixelSize(kLabelPixelSize);

    m_from->setMinimumWidth(kAddressFieldWidth);
    m_to->setMinimumWidth(kAddressFieldWidth);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(7, 5, 7, 5);
    layout->setVerticalSpacing(2);
    layout->addWidget(makeLabel(QStringLiteral("From:"), bold, this), 0, 0);
    layout->addWidget(m_from, 0, 1);
    layout->addWidget(makeLabel(QStringLiteral("To:"), bold, this), 0, 2);
    layout->addWidget(m_to, 0, 3);
    layout->addWidget(makeLabel(QStringLiteral("Subject:"), bold, this), 1, 0);
    layout->addWidget(m_subject, 1, 1, 1, 3);
    layout->setColumnStretch(1, 1);
    layout->setColumnStretch(3, 1);
}

void CEmailHeaderView::setHeaderFields(const QString& from, const QString& to,
                                       const QString& subject) {
    showFromStart(m_from, from);
    showFromStart(m_to, to);
    showFromStart(m_subject, subject);
}

QString CEmailHeaderView::from() const {
    return m_from->text();
}

QString CEmailHeaderView::to() const {
    return m_to->text();
}

QString CEmailHeaderView::subject() const {
    return m_subject->text();
}
