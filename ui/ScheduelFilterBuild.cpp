#include "ui/ScheduelFilterBuild.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

#include "diag/Error.h"
#include "diag/SourceName.h"
#include "proxy/ProcessObjects.h"
#include "ui/Prompter.h"
#include "ui/ViewContext.h"

namespace {

constexpr std::array<const char*, 7> kDayNames = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                                  "Friday", "Saturday", "Sunday"};
constexpr int kFirstHour = 1;
constexpr int kLastHour = 12;
constexpr int kFirstMinute = 0;
constexpr int kLastMinute = 60;
constexpr int kAccuracyLines = 3;

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

QToolButton* arrowButton(Qt::ArrowType arrow, const QString& name, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

// Wide and tall enough to show the text whole, so it never needs scrolling.
void fitToText(QPlainTextEdit* edit, int lines) {
    const QFontMetrics metrics = edit->fontMetrics();
    int widest = 0;
    for (const QString& line : edit->toPlainText().split(QLatin1Char('\n'))) {
        widest = std::max(widest, metrics.horizontalAdvance(line));
    }
    const int frame =
        2 * (edit->frameWidth() + static_cast<int>(edit->document()->documentMargin()));
    edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    edit->setMinimumWidth(widest + frame + 2 * metrics.averageCharWidth());
    edit->setFixedHeight(metrics.lineSpacing() * lines + frame + metrics.lineSpacing() / 2);
}

QGroupBox* group(const QString& title, QLayout* content, QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    box->setLayout(content);
    return box;
}

}  // namespace

CScheduelFilterBuild::CScheduelFilterBuild(ViewContext& context, QWidget* parent)
    : QDialog(parent),
      m_context(context),
      m_panel(context.objects.schedule, context.objects.bayes, context.objects.store),
      m_hour{new QLineEdit(this), kFirstHour, kLastHour},
      m_minute{new QLineEdit(this), kFirstMinute, kLastMinute},
      m_amPm(new QComboBox(this)),
      m_buildNow(new QPushButton(QStringLiteral("Build Now"), this)),
      m_buildRequest(new QLineEdit(this)),
      m_filterButton(new QPushButton(this)),
      m_accuracy(new QPlainTextEdit(this)),
      m_ok(new QPushButton(QStringLiteral("OK"), this)),
      m_cancel(new QPushButton(QStringLiteral("Cancel"), this)) {
    m_panel.open();
    setWindowTitle(QStringLiteral("Bayes Auto-Filter Build Panel"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group(QStringLiteral("Schedule Filter Builds"), scheduleLayout(), this));
    layout->addWidget(group(QStringLiteral("Build Now"), buildNowLayout(), this));
    layout->addWidget(group(QStringLiteral("Filter State"), filterStateLayout(), this));
    layout->addLayout(buttons);

    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    connect(m_ok, &QPushButton::clicked, this, &CScheduelFilterBuild::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CScheduelFilterBuild::reject);
    connect(m_buildNow, &QPushButton::clicked, this, &CScheduelFilterBuild::onBuildNow);
    connect(m_filterButton, &QPushButton::clicked, this, &CScheduelFilterBuild::onFilterButton);
    showPanel();
}

QLayout* CScheduelFilterBuild::scheduleLayout() {
    auto* days = new QVBoxLayout;
    for (std::size_t day = 0; day < m_days.size(); ++day) {
        const QString name = QString::fromLatin1(kDayNames[day]);
        m_days[day] = new QCheckBox(name, this);
        m_days[day]->setObjectName(name.toLower());
        days->addWidget(m_days[day]);
    }

    m_amPm->setObjectName(QStringLiteral("amPm"));
    m_amPm->addItems({QStringLiteral("AM"), QStringLiteral("PM")});
    auto* time = new QFormLayout;
    time->addRow(QStringLiteral("Hour:"), spinLayout(m_hour, QStringLiteral("hour")));
    time->addRow(QStringLiteral("Minute:"), spinLayout(m_minute, QStringLiteral("minute")));
    time->addRow(QStringLiteral("AM/PM:"), m_amPm);

    auto* schedule = new QHBoxLayout;
    schedule->addWidget(group(QStringLiteral("Select Day(s)"), days, this));
    schedule->addWidget(group(QStringLiteral("Time of Day"), time, this), 0, Qt::AlignTop);
    return schedule;
}

// A plain edit beside the buttons rather than a spin box: a spin box refuses
// or quietly corrects out-of-range text, while OK must see what was typed
// ("13", "abc") to give its message.
QLayout* CScheduelFilterBuild::spinLayout(SpinField& field, const QString& name) {
    field.edit->setObjectName(name);
    field.edit->installEventFilter(this);
    auto* up = arrowButton(Qt::UpArrow, name + QStringLiteral("Up"), this);
    auto* down = arrowButton(Qt::DownArrow, name + QStringLiteral("Down"), this);
    // Stacked, the two together are as tall as the edit beside them.
    const QSize half(field.edit->sizeHint().height(), field.edit->sizeHint().height() / 2);
    up->setFixedSize(half);
    down->setFixedSize(half);
    connect(up, &QToolButton::clicked, this, [this, &field] { step(field, 1); });
    connect(down, &QToolButton::clicked, this, [this, &field] { step(field, -1); });
    auto* arrows = new QVBoxLayout;
    arrows->setSpacing(0);
    arrows->addWidget(up);
    arrows->addWidget(down);
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    row->addWidget(field.edit);
    row->addLayout(arrows);
    return row;
}

QLayout* CScheduelFilterBuild::buildNowLayout() {
    m_buildNow->setObjectName(QStringLiteral("buildNow"));
    m_buildRequest->setObjectName(QStringLiteral("buildRequest"));
    m_buildRequest->setReadOnly(true);
    auto* row = new QHBoxLayout;
    row->addWidget(m_buildNow);
    row->addWidget(m_buildRequest);
    return row;
}

QLayout* CScheduelFilterBuild::filterStateLayout() {
    m_filterButton->setObjectName(QStringLiteral("filterButton"));
    m_accuracy->setObjectName(QStringLiteral("accuracy"));
    m_accuracy->setReadOnly(true);
    m_accuracy->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* row = new QHBoxLayout;
    row->addWidget(m_filterButton, 0, Qt::AlignTop);
    row->addWidget(m_accuracy);
    return row;
}

void CScheduelFilterBuild::showPanel() {
    const std::array<bool, 7> checks = m_panel.dayChecks();
    for (std::size_t day = 0; day < m_days.size(); ++day) {
        m_days[day]->setChecked(checks[day]);
    }
    m_hour.edit->setText(fromStd(m_panel.hourText()));
    m_minute.edit->setText(fromStd(m_panel.minuteText()));
    m_amPm->setCurrentIndex(m_panel.amPmIndex());
    m_buildRequest->setText(fromStd(m_panel.buildRequestText()));
    m_filterButton->setText(fromStd(m_panel.filterButtonText()));
    // The text breaks its lines with "\r\n"; the edit takes each as one break.
    m_accuracy->setPlainText(fromStd(m_panel.accuracyText()));
    fitToText(m_accuracy, kAccuracyLines);
}

// A field that holds no number starts again from the bottom of its range; the
// buttons never leave the range.
void CScheduelFilterBuild::step(const SpinField& field, int delta) {
    const std::optional<int> typed = parseFieldInteger(field.edit->text().toStdString());
    const int value =
        typed ? std::clamp(std::clamp(*typed, field.low, field.high) + delta, field.low, field.high)
              : field.low;
    field.edit->setText(QString::number(value));
}

bool CScheduelFilterBuild::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        const int delta = key == Qt::Key_Up ? 1 : (key == Qt::Key_Down ? -1 : 0);
        for (const SpinField* field : {&m_hour, &m_minute}) {
            if (delta != 0 && watched == field->edit) {
                step(*field, delta);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CScheduelFilterBuild::onBuildNow() {
    m_panel.pressBuildNow();
    m_buildRequest->setText(fromStd(m_panel.buildRequestText()));
}

void CScheduelFilterBuild::onFilterButton() {
    std::optional<std::string> message;
    guarded("CScheduelFilterBuild::OnFilterButton", [&] { message = m_panel.pressFilterButton(); });
    m_filterButton->setText(fromStd(m_panel.filterButtonText()));
    if (message) {
        m_context.prompter.tell(fromStd(*message));
    }
}

void CScheduelFilterBuild::accept() {
    std::array<bool, 7> days{};
    for (std::size_t day = 0; day < days.size(); ++day) {
        days[day] = m_days[day]->isChecked();
    }
    std::optional<std::string> message;
    const bool done = guarded("CScheduelFilterBuild::OnOK", [&] {
        message = m_panel.pressOk(days, m_hour.edit->text().toStdString(),
                                  m_minute.edit->text().toStdString(), m_amPm->currentIndex());
    });
    if (!done) {
        return;
    }
    if (message) {
        m_context.prompter.tell(fromStd(*message));
        return;
    }
    QDialog::accept();
}

bool CScheduelFilterBuild::guarded(const char* operation, const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (const CError& error) {
        // On record already.
        m_context.prompter.tell(fromStd(error.m_message));
    } catch (const std::exception&) {
        const CError recorded("Catch All Error", operation, GF_HERE);
        m_context.prompter.tell(fromStd(recorded.m_message));
    }
    return false;
}
