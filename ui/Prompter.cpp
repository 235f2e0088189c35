#include "ui/Prompter.h"

#include <QMessageBox>

namespace {

QMessageBox::Icon boxIcon(Prompter::Icon icon) {
    switch (icon) {
        case Prompter::Icon::Information:
            return QMessageBox::Information;
        case Prompter::Icon::Question:
            return QMessageBox::Question;
        case Prompter::Icon::Warning:
            return QMessageBox::Warning;
        case Prompter::Icon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

bool MessageBoxPrompter::askYesNo(const QString& text, const QString& title, Icon icon) {
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Yes | QMessageBox::No, m_parent);
    return box.exec() == QMessageBox::Yes;
}

void MessageBoxPrompter::tell(const QString& text, const QString& title, Icon icon) {
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Ok, m_parent);
    box.exec();
}
