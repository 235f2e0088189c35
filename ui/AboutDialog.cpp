#include "ui/AboutDialog.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kIconSize = 32;

QLabel* iconLabel(const QIcon& icon, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("icon"));
    label->setPixmap(icon.pixmap(kIconSize, kIconSize));
    label->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    label->setVisible(!icon.isNull());
    return label;
}

// Read-only but selectable, so that the version can be copied into a report.
QPlainTextEdit* versionText(QWidget* parent) {
    auto* text = new QPlainTextEdit(QStringLiteral("Glimmerfen Version 2.01"), parent);
    text->setObjectName(QStringLiteral("text"));
    text->setReadOnly(true);
    text->setFrameShape(QFrame::NoFrame);
    text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const QFontMetrics metrics(text->font());
    text->setFixedSize(metrics.horizontalAdvance(text->toPlainText()) + 4 * metrics.averageCharWidth(),
                       3 * metrics.lineSpacing());
    return text;
}

}  // namespace

AboutDialog::AboutDialog(const QIcon& icon, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Glimmerfen"));
    setWindowIcon(icon);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* top = new QHBoxLayout;
    top->addWidget(iconLabel(icon, this));
    top->addWidget(versionText(this));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    ok->setFocus();
}
