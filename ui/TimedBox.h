#pragma once

#include <chrono>

#include <QDialog>
#include <QString>
#include <QTimer>

class QPlainTextEdit;
class QPushButton;

// The error box that closes itself, so that the server thread never hangs on a
// box nobody is watching: it closes after the duration unless "Wait" was
// pressed, and "OK" closes it at once.
class CTimedBox : public QDialog {
    Q_OBJECT

  public:
    static constexpr std::chrono::milliseconds kDefaultDuration{5000};

    explicit CTimedBox(QWidget* parent = nullptr);

    void setMessage(const QString& message);
    QString message() const { return m_message; }
    void setDuration(std::chrono::milliseconds duration);
    std::chrono::milliseconds duration() const { return m_duration; }
    bool isWaiting() const { return m_waiting; }
    bool isTimerRunning() const { return m_timer.isActive(); }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void onTimeout();
    void onWait();
    void onOk();

    QString m_message = QStringLiteral("No Message");
    std::chrono::milliseconds m_duration = kDefaultDuration;
    bool m_waiting = false;
    QTimer m_timer;
    QPlainTextEdit* m_edit;
    QPushButton* m_ok;
    QPushButton* m_wait;
};
