#include "ui/BlackListDlg.h"

CBlackListDlg::CBlackListDlg(FilterList& blackList, Prompter& prompter, QWidget* parent)
    : PhraseListDialog(blackList, prompter,
                       QStringLiteral("Black List - for emails you want filtered out"), parent) {
    setObjectName(QStringLiteral("blackListDialog"));
}
