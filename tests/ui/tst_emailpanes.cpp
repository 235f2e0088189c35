#include <QLineEdit>
#include <QtTest>

#include "ModalWatch.h"
#include "ui/EmailHeaderView.h"
#include "ui/EmailView.h"

class EmailPanesTest : public QObject {
    Q_OBJECT

  private slots:
    void headerFieldsAreSetAndCleared() {
        CEmailHeaderView pane;
        pane.setHeaderFields("Jane <jane@example.org>", "reader@example.org", "Minutes");
        QCOMPARE(pane.from(), QStringLiteral("Jane <jane@example.org>"));
        QCOMPARE(pane.to(), QStringLiteral("reader@example.org"));
        QCOMPARE(pane.subject(), QStringLiteral("Minutes"));
        for (auto* field : pane.findChildren<QLineEdit*>()) {
            QVERIFY(field->isReadOnly());
        }
        pane.setHeaderFields({}, {}, {});
        QCOMPARE(pane.from(), QString());
        QCOMPARE(pane.to(), QString());
        QCOMPARE(pane.subject(), QString());
    }

    void aLongSubjectScrollsInsideItsField() {
        CEmailHeaderView pane;
        pane.resize(600, 65);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        const QSize hint = pane.sizeHint();
        const QString longSubject = QString(400, QLatin1Char('w'));
        pane.setHeaderFields("a", "b", longSubject);
        QCOMPARE(pane.sizeHint(), hint);
        QCOMPARE(pane.size(), QSize(600, 65));
        auto* field = pane.findChild<QLineEdit*>(QStringLiteral("subject"));
        QVERIFY(field != nullptr);
        QCOMPARE(field->text(), longSubject);
        QVERIFY(field->width() < field->fontMetrics().horizontalAdvance(longSubject));
        // The start of the subject is what shows.
        QCOMPARE(field->cursorPosition(), 0);
    }

    void theFormFitsItsPane() {
        CEmailHeaderView pane;
        QVERIFY(pane.minimumSizeHint().height() <= 65);
    }

    void theBodyIsPlainReadOnlyText() {
        CEmailView view;
        QVERIFY(view.isReadOnly());
        view.setBodyText("Subject: <b>offer</b>\r\nFrom: x\r\n\r\nbody &amp; more\r\n");
        QCOMPARE(view.toPlainText(),
                 QStringLiteral("Subject: <b>offer</b>\nFrom: x\n\nbody &amp; more\n"));
        view.setBodyText({});
        QCOMPARE(view.toPlainText(), QString());
    }
};

GLIMMERFEN_UI_TEST_MAIN(EmailPanesTest)
#include "tst_emailpanes.moc"
