#include "ui/WhiteListDlg.h"

CWhiteListDlg::CWhiteListDlg(FilterList& whiteList, Prompter& prompter, QWidget* parent)
    : PhraseListDialog(whiteList, prompter,
                       QStringLiteral("White List - for emails you don't want filtered out"),
                       parent) {
    setObjectName(QStringLiteral("whiteListDialog"));
}
