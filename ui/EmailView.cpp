#include "ui/EmailView.h"

CEmailView::CEmailView(QWidget* parent) : QTextEdit(parent) {
    setObjectName(QStringLiteral("emailView"));
    setAcceptRichText(false);
    setReadOnly(true);
}

void CEmailView::setBodyText(const QString& text) {
    QString plain = text;
    // Stored mail has CR LF line ends; a lone CR would show as an extra break.
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    setPlainText(plain);
}
