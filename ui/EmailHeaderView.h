#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;

// The From, To and Subject of the email last clicked in the header list, in
// read-only fields that scroll sideways for long texts rather than growing the
// pane. The header list fills and clears it; it never reads the store.
class CEmailHeaderView : public QWidget {
    Q_OBJECT

  public:
    explicit CEmailHeaderView(QWidget* parent = nullptr);

    // Empty texts clear the fields.
    void setHeaderFields(const QString& from, const QString& to, const QString& subject);

    QString from() const;
    QString to() const;
    QString subject() const;

  private:
    QLineEdit* m_from;
    QLineEdit* m_to;
    QLineEdit* m_subject;
};
