#pragma once

#include "ui/PhraseListDialog.h"

// The editor of the black list: phrases of mail that must always be filtered out.
class CBlackListDlg : public PhraseListDialog {
    Q_OBJECT

  public:
    CBlackListDlg(FilterList& blackList, Prompter& prompter, QWidget* parent = nullptr);
};
