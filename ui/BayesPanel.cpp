#include "ui/BayesPanel.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "diag/Error.h"
#include "proxy/ProcessObjects.h"
#include "ui/Prompter.h"

namespace {

// Index 0 of a switch is off, index 1 on: the service's name sorts after "Off".
constexpr int kOff = 0;
constexpr int kOn = 1;

}  // namespace

CBayesPanel::CBayesPanel(ViewContext& context, QWidget* parent)
    : QDialog(parent),
      m_context(context),
      m_spamhaus(makeSwitch(QStringLiteral("spamhaus"), QStringLiteral("Spamhaus SBL-XBL"))),
      m_spamcop(makeSwitch(QStringLiteral("spamcop"), QStringLiteral("SpamCop"))),
      m_close(new QPushButton(QStringLiteral("Close"), this)) {
    setWindowTitle(QStringLiteral("DNSBL Panel"));
    m_close->setObjectName(QStringLiteral("close"));
    m_close->setDefault(true);

    auto* group = new QGroupBox(QStringLiteral("DNS Block Lists"), this);
    group->setObjectName(QStringLiteral("blockLists"));
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(m_spamhaus);
    groupLayout->addWidget(m_spamcop);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);

    // Shown before the switches are connected: opening the panel changes nothing.
    showStoredState();
    connect(m_spamhaus, &QComboBox::currentIndexChanged, this,
            [this] { switchList(m_spamhaus, ProgramState::Switch::Spamhaus); });
    connect(m_spamcop, &QComboBox::currentIndexChanged, this,
            [this] { switchList(m_spamcop, ProgramState::Switch::Spamcop); });
    connect(m_close, &QPushButton::clicked, this, &CBayesPanel::accept);
}

QComboBox* CBayesPanel::makeSwitch(const QString& name, const QString& service) {
    auto* box = new QComboBox(this);
    box->setObjectName(name);
    box->addItems({QStringLiteral("Off"), service});
    box->setMinimumContentsLength(16);
    return box;
}

void CBayesPanel::showStoredState() {
    try {
        const ProgramState state = m_context.objects.store.getHarrowgleamState();
        m_spamhaus->setCurrentIndex(state.spamhausOn() ? kOn : kOff);
        m_spamcop->setCurrentIndex(state.spamcopOn() ? kOn : kOff);
    } catch (const CError& error) {
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    }
}

// Only this list's bit changes, in one store step: the filter switch and the
// scheduled build write their own bits of the byte while the panel is open.
void CBayesPanel::switchList(QComboBox* box, ProgramState::Switch list) {
    const int index = box->currentIndex();
    try {
        const ProgramState state =
            m_context.objects.store.changeProgramState(StateChange().turn(list, index != kOff));
        m_context.objects.resolver.setDnsblZones(state);
    } catch (const CError& error) {
        // Nothing was stored, so the switch goes back to where it was.
        const QSignalBlocker quiet(box);
        box->setCurrentIndex(index != kOff ? kOff : kOn);
        m_context.prompter.tell(QString::fromStdString(error.m_message));
    }
}
