#pragma once

#include <QString>
#include <QWidget>

class QTextBrowser;
class QToolButton;

// The help viewer: the pages compiled into the program under ":/help", shown in
// a window of their own so that the user can read them beside the main window.
class HelpWindow : public QWidget {
    Q_OBJECT

  public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Shows, raises and opens `page` (a file under ":/help", optionally with an
    // "#anchor"); a page that does not exist opens the contents instead.
    void showTopic(const QString& page = QStringLiteral("index.html"));
    QTextBrowser* browser();

  private:
    void goHome();

    QTextBrowser* m_browser;
    QToolButton* m_back;
    QToolButton* m_forward;
    QToolButton* m_home;
};
