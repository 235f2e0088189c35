#pragma once

#include "ui/PhraseListDialog.h"

// The editor of the white list: phrases of mail that must never be filtered out.
class CWhiteListDlg : public PhraseListDialog {
    Q_OBJECT

  public:
    CWhiteListDlg(FilterList& whiteList, Prompter& prompter, QWidget* parent = nullptr);
};
