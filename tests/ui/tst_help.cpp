#include <QDirIterator>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMap>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QtTest>

#include "ModalWatch.h"
#include "UiFixture.h"
#include "ui/AboutDialog.h"
#include "ui/HelpWindow.h"

namespace {

constexpr int kLong = 20000;
const QString kHelpDirectory = QStringLiteral(":/help");
const QUrl kIndexUrl(QStringLiteral("qrc:/help/index.html"));

QUrl urlOf(const QString& resourcePath) {
    return QUrl(QStringLiteral("qrc") + resourcePath);
}

QString resourcePathOf(const QUrl& url) {
    return QLatin1Char(':') + url.path();
}

// A page as the browser shows it: what it says, the anchors one can jump to,
// and the links and pictures it points at, as written in the page.
struct HelpPage {
    QString title;
    QString text;
    QSet<QString> anchors;
    QStringList links;
    QStringList images;
};

HelpPage readPage(QTextBrowser& browser, const QString& path) {
    browser.setSource(urlOf(path));
    HelpPage page{browser.documentTitle(), browser.document()->toPlainText().trimmed(), {}, {},
                  {}};
    const QTextDocument* document = browser.document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            for (const QString& name : format.anchorNames()) {
                page.anchors.insert(name);
            }
            if (format.isAnchor() && !format.anchorHref().isEmpty()) {
                page.links << format.anchorHref();
            }
            if (format.isImageFormat()) {
                page.images << format.toImageFormat().name();
            }
        }
    }
    return page;
}

// Every page compiled into the program, by resource path.
QMap<QString, HelpPage> readAllPages() {
    QTextBrowser browser;
    browser.setSearchPaths({kHelpDirectory});
    QMap<QString, HelpPage> pages;
    QDirIterator it(kHelpDirectory, {QStringLiteral("*.html")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        pages.insert(path, readPage(browser, path));
    }
    return pages;
}

// Where a link of `path` leads, or why it leads nowhere.
QString linkProblem(const QMap<QString, HelpPage>& pages, const QString& path,
                    const QString& href) {
    const QUrl target = urlOf(path).resolved(QUrl(href));
    if (target.scheme() != QStringLiteral("qrc")) {
        return QStringLiteral("leaves the help: ");
    }
    const QString targetPath = resourcePathOf(target);
    if (!pages.contains(targetPath)) {
        return QFile::exists(targetPath) ? QString() : QStringLiteral("no such page: ");
    }
    if (target.hasFragment() && !pages[targetPath].anchors.contains(target.fragment())) {
        return QStringLiteral("no such anchor: ");
    }
    return QString();
}

QStringList problemsOf(const QMap<QString, HelpPage>& pages) {
    QStringList problems;
    QSet<QString> linkedTo;
    for (auto page = pages.cbegin(); page != pages.cend(); ++page) {
        const QString& path = page.key();
        if (page->text.isEmpty()) {
            problems << path + QStringLiteral(": empty");
        }
        if (page->title.isEmpty()) {
            problems << path + QStringLiteral(": no title");
        }
        for (const QString& href : page->links) {
            const QString problem = linkProblem(pages, path, href);
            if (!problem.isEmpty()) {
                problems << path + QStringLiteral(": link ") + problem + href;
            }
            const QString target = resourcePathOf(urlOf(path).resolved(QUrl(href)));
            if (target != path) {
                linkedTo.insert(target);
            }
        }
        for (const QString& src : page->images) {
            if (QImage(resourcePathOf(urlOf(path).resolved(QUrl(src)))).isNull()) {
                problems << path + QStringLiteral(": picture does not load: ") + src;
            }
        }
    }
    for (auto page = pages.cbegin(); page != pages.cend(); ++page) {
        if (page.key() != resourcePathOf(kIndexUrl) && !linkedTo.contains(page.key())) {
            problems << page.key() + QStringLiteral(": no other page links to it");
        }
    }
    return problems;
}

int countOf(const QMap<QString, HelpPage>& pages, bool withFragment, bool images) {
    int count = 0;
    for (const HelpPage& page : pages) {
        if (images) {
            count += page.images.size();
            continue;
        }
        for (const QString& href : page.links) {
            count += QUrl(href).hasFragment() == withFragment ? 1 : 0;
        }
    }
    return count;
}

// Clicks the link of the shown page whose target is exactly `href`, as the user would.
bool clickLink(QTextBrowser* browser, const QString& href) {
    const QTextDocument* document = browser->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().anchorHref() != href) {
                continue;
            }
            QTextCursor cursor(browser->document());
            cursor.setPosition(fragment.position() + 1);
            browser->setTextCursor(cursor);
            browser->ensureCursorVisible();
            const QPoint point = browser->cursorRect(cursor).center();
            QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, point);
            return true;
        }
    }
    return false;
}

QToolButton* button(HelpWindow& window, const char* name) {
    return window.findChild<QToolButton*>(QLatin1String(name));
}

QIcon testIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::darkCyan);
    return QIcon(pixmap);
}

}  // namespace

// The help window needs none of the process objects; each test still runs in
// a fixture's fresh directory, like every window test, so that nothing it does
// can reach the user's data.
class HelpTest : public QObject {
    Q_OBJECT

  private slots:
    void everyPageLoadsAndEveryLinkAndPictureResolves() {
        UiFixture fixture;
        const QMap<QString, HelpPage> pages = readAllPages();
        QVERIFY2(pages.contains(resourcePathOf(kIndexUrl)), "the help is not compiled in");
        QVERIFY(pages.size() > 1);
        // A walk that finds nothing to check would pass whatever the pages say.
        QVERIFY(countOf(pages, false, false) > 0);
        QVERIFY(countOf(pages, true, false) > 0);
        QVERIFY(countOf(pages, false, true) > 0);

        const QStringList problems = problemsOf(pages);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    }

    void showTopicOpensTheContentsUnlessAskedForAPage() {
        UiFixture fixture;
        HelpWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Glimmerfen Help"));
        QVERIFY(window.isWindow());

        window.showTopic();
        QVERIFY(window.isVisible());
        QCOMPARE(window.browser()->source(), kIndexUrl);
        QCOMPARE(window.browser()->documentTitle(), QStringLiteral("Glimmerfen Help"));

        window.showTopic(QStringLiteral("backups.html"));
        QCOMPARE(window.browser()->source(), QUrl(QStringLiteral("qrc:/help/backups.html")));
        QVERIFY(window.browser()->toPlainText().contains(QStringLiteral("HGIndex1.hgd")));

        window.showTopic(QStringLiteral("no-such-page.html"));
        QCOMPARE(window.browser()->source(), kIndexUrl);
    }

    void showTopicJumpsToAnAnchor() {
        UiFixture fixture;
        HelpWindow window;
        window.resize(500, 300);
        window.showTopic(QStringLiteral("troubleshooting.html#error-log"));
        QCOMPARE(window.browser()->source(),
                 QUrl(QStringLiteral("qrc:/help/troubleshooting.html#error-log")));
        QTRY_VERIFY_WITH_TIMEOUT(window.browser()->verticalScrollBar()->value() > 0, kLong);
    }

    void backForwardAndHomeAfterFollowingALink() {
        UiFixture fixture;
        HelpWindow window;
        const QUrl folders(QStringLiteral("qrc:/help/folders.html"));
        window.showTopic();
        QVERIFY(!button(window, "back")->isEnabled());
        QVERIFY(!button(window, "forward")->isEnabled());

        QVERIFY2(clickLink(window.browser(), QStringLiteral("folders.html")),
                 "the contents do not link to folders.html");
        QTRY_COMPARE_WITH_TIMEOUT(window.browser()->source(), folders, kLong);
        QVERIFY(button(window, "back")->isEnabled());

        button(window, "back")->click();
        QCOMPARE(window.browser()->source(), kIndexUrl);
        QVERIFY(button(window, "forward")->isEnabled());
        button(window, "forward")->click();
        QCOMPARE(window.browser()->source(), folders);

        button(window, "home")->click();
        QCOMPARE(window.browser()->source(), kIndexUrl);
        button(window, "back")->click();
        QCOMPARE(window.browser()->source(), folders);
    }

    void homeIsTheContentsWhenOpenedOnATopic() {
        UiFixture fixture;
        HelpWindow window;
        const QUrl dnsbl(QStringLiteral("qrc:/help/dnsbl.html"));
        window.showTopic(QStringLiteral("dnsbl.html"));
        button(window, "home")->click();
        QCOMPARE(window.browser()->source(), kIndexUrl);
        button(window, "back")->click();
        QCOMPARE(window.browser()->source(), dnsbl);
    }

    void escapePutsTheHelpAway() {
        HelpWindow window;
        window.showTopic();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        QTest::keyClick(window.browser(), Qt::Key_Escape);
        QVERIFY(!window.isVisible());
    }

    void aboutBoxShowsTheIconAndVersionAndClosesWithOk() {
        UiFixture fixture;
        AboutDialog dialog(testIcon());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("About Glimmerfen"));
        auto* icon = dialog.findChild<QLabel*>(QStringLiteral("icon"));
        QVERIFY(icon != nullptr);
        QVERIFY(!icon->pixmap().isNull());
        auto* text = dialog.findChild<QPlainTextEdit*>(QStringLiteral("text"));
        QVERIFY(text != nullptr);
        QVERIFY(text->isReadOnly());

        QString shown;
        ModalWatch watch([&](QWidget* modal) {
            if (modal != &dialog) {
                return false;
            }
            QTest::keyClicks(text, QStringLiteral("typed"));
            shown = text->toPlainText();
            dialog.findChild<QPushButton*>(QStringLiteral("ok"))->click();
            return true;
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(watch.finished());
        QCOMPARE(shown, QStringLiteral("Glimmerfen Version 2.01"));
        QVERIFY(!dialog.isVisible());
    }
};

GLIMMERFEN_UI_TEST_MAIN(HelpTest)
#include "tst_help.moc"
