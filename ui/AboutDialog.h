#pragma once

#include <QDialog>

class QIcon;

// The About box: the application's icon, its name and version, and OK.
class AboutDialog : public QDialog {
    Q_OBJECT

  public:
    explicit AboutDialog(const QIcon& icon, QWidget* parent = nullptr);
};
