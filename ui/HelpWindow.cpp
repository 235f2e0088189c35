#include "ui/HelpWindow.h"

#include <QFile>
#include <QHBoxLayout>
#include <QShortcut>
#include <QTextBrowser>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QString kHelpRoot = QStringLiteral(":/help/");
const QString kIndexPage = QStringLiteral("index.html");

QUrl helpUrl(const QString& page) {
    return QUrl(QStringLiteral("qrc") + kHelpRoot + page);
}

// A page named by the caller may carry an anchor; only the file has to exist.
bool pageExists(const QString& page) {
    const QUrl url = helpUrl(page);
    return url.isValid() && QFile::exists(QLatin1Char(':') + url.path());
}

QToolButton* navigationButton(const QString& name, const QString& text, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(text);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    return button;
}

}  // namespace

HelpWindow::HelpWindow(QWidget* parent)
    : QWidget(parent, Qt::Window),
      m_browser(new QTextBrowser(this)),
      m_back(navigationButton(QStringLiteral("back"), QStringLiteral("Back"), this)),
      m_forward(navigationButton(QStringLiteral("forward"), QStringLiteral("Forward"), this)),
      m_home(navigationButton(QStringLiteral("home"), QStringLiteral("Home"), this)) {
    setWindowTitle(QStringLiteral("Glimmerfen Help"));
    resize(760, 560);
    m_browser->setObjectName(QStringLiteral("browser"));
    m_browser->setSearchPaths({kHelpRoot});
    // The pages link only to each other; anything else must not leave the viewer.
    m_browser->setOpenExternalLinks(false);

    m_back->setEnabled(false);
    m_forward->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_back);
    buttons->addWidget(m_forward);
    buttons->addWidget(m_home);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_browser);

    connect(m_back, &QToolButton::clicked, m_browser, &QTextBrowser::backward);
    connect(m_forward, &QToolButton::clicked, m_browser, &QTextBrowser::forward);
    connect(m_home, &QToolButton::clicked, this, &HelpWindow::goHome);
    connect(m_browser, &QTextBrowser::backwardAvailable, m_back, &QToolButton::setEnabled);
    connect(m_browser, &QTextBrowser::forwardAvailable, m_forward, &QToolButton::setEnabled);
    // A reader expects Escape to put the help away, as it closes the dialogs.
    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
}

void HelpWindow::showTopic(const QString& page) {
    m_browser->setSource(helpUrl(pageExists(page) ? page : kIndexPage));
    show();
    if (isMinimized()) {
        showNormal();
    }
    raise();
    activateWindow();
}

QTextBrowser* HelpWindow::browser() {
    return m_browser;
}

// QTextBrowser::home() returns to whichever page was opened first, which need
// not be the contents when the window was opened on a topic.
void HelpWindow::goHome() {
    m_browser->setSource(helpUrl(kIndexPage));
}
