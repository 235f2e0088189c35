#pragma once

#include <array>
#include <functional>

#include <QDialog>

#include "filterbuild/BuildPanel.h"

class QCheckBox;
class QComboBox;
class QLayout;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
struct ViewContext;

// The build panel: the weekly build schedule, the request for a build when the
// frame is next idle, and the Bayesian filter's switch. The panel's rules live
// in BuildPanel; this shows them and hands the buttons on. Opened modally by
// the main frame while it holds the operation semaphore. A store error while
// opening leaves the constructor for the frame to show; one from a button is
// shown here, so that no exception reaches the event loop.
class CScheduelFilterBuild : public QDialog {
    Q_OBJECT

  public:
    CScheduelFilterBuild(ViewContext& context, QWidget* parent = nullptr);

  public slots:
    void accept() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // An edit with up and down buttons over a range. Typing is never refused
    // or corrected: OK checks whatever the edit holds, as the user left it.
    struct SpinField {
        QLineEdit* edit;
        int low;
        int high;
    };

    QLayout* scheduleLayout();
    QLayout* buildNowLayout();
    QLayout* filterStateLayout();
    QLayout* spinLayout(SpinField& field, const QString& name);
    void showPanel();
    void step(const SpinField& field, int delta);
    void onBuildNow();
    void onFilterButton();
    // Runs a handler, showing a failure instead of letting it escape; false
    // when it failed.
    bool guarded(const char* operation, const std::function<void()>& handler);

    ViewContext& m_context;
    BuildPanel m_panel;
    std::array<QCheckBox*, 7> m_days{};
    SpinField m_hour;
    SpinField m_minute;
    QComboBox* m_amPm;
    QPushButton* m_buildNow;
    QLineEdit* m_buildRequest;
    QPushButton* m_filterButton;
    QPlainTextEdit* m_accuracy;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};
