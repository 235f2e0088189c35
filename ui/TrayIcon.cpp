#include "ui/TrayIcon.h"

#include <QAction>

#include "proxy/SessionGate.h"
#include "ui/AnimSetting.h"

TrayIcon::TrayIcon(SessionGate& gate, QObject* parent)
    : QObject(parent), m_gate(gate), m_animate(AnimSetting::read()) {
    for (int frame = 0; frame < appicons::kTrayFrames; ++frame) {
        m_frames[frame] = appicons::trayFrame(frame);
    }
    buildMenu();
    m_icon.setContextMenu(&m_menu);
    connect(&m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
    m_animationTimer.setInterval(kAnimationIntervalMs);
    connect(&m_animationTimer, &QTimer::timeout, this, &TrayIcon::animationStep);
}

bool TrayIcon::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::buildMenu() {
    m_menu.setTitle(QStringLiteral("Glimmerfen"));
    m_animateAction = m_menu.addAction(QStringLiteral("&Animate Tray Icon"));
    m_animateAction->setCheckable(true);
    m_animateAction->setChecked(m_animate);
    connect(m_animateAction, &QAction::triggered, this, &TrayIcon::toggleAnimate);
    connect(m_menu.addAction(QStringLiteral("&Expand Window")), &QAction::triggered, this,
            &TrayIcon::expandRequested);
    connect(m_menu.addAction(QStringLiteral("E&xit")), &QAction::triggered, this,
            &TrayIcon::exitRequested);
}

void TrayIcon::add() {
    setTrayIcon(Operation::Add, 0, kFirstTip);
}

void TrayIcon::remove() {
    m_animationTimer.stop();
    setTrayIcon(Operation::Delete, 0, QString());
}

void TrayIcon::setTrayIcon(Operation operation, int frame, const QString& tip) {
    m_icon.setIcon(m_frames[frame]);
    m_tip = tip;
    m_icon.setToolTip(cutTip(tipForAccounts(tip, m_accountsServed)));
    m_frameShown = frame;
    if (operation == Operation::Add) {
        m_icon.show();
    } else if (operation == Operation::Delete) {
        m_icon.hide();
    }
}

QString TrayIcon::cutTip(const QString& tip) {
    if (tip.size() <= kMaxTipLength) {
        return tip;
    }
    // Never keep half of a surrogate pair: it would show as a broken character.
    const bool splitsPair = tip.at(kMaxTipLength - 1).isHighSurrogate();
    return tip.left(splitsPair ? kMaxTipLength - 1 : kMaxTipLength);
}

// "Glimmerfen: 16 accounts" is as long as the title line may grow: with
// the two lines of the later tip it makes exactly the 63 characters.
QString TrayIcon::tipForAccounts(const QString& tip, int accounts) {
    const qsizetype titleEnd = tip.indexOf(u'\n');
    if (accounts <= 1 || titleEnd < 0) {
        return tip;
    }
    return QStringLiteral("Glimmerfen: %1 accounts").arg(accounts) + tip.mid(titleEnd);
}

void TrayIcon::setAccountsServed(int count) {
    if (count == m_accountsServed) {
        return;
    }
    m_accountsServed = count;
    if (!m_tip.isEmpty()) {
        m_icon.setToolTip(cutTip(tipForAccounts(m_tip, m_accountsServed)));
    }
}

void TrayIcon::listTick() {
    const bool mail = m_gate.newMailArrived.load(std::memory_order_relaxed);
    if (mail && !isAnimating()) {
        m_animationTimer.start();
    }
    if (m_gate.anySessionActive() || !mail || !isAnimating()) {
        return;
    }
    // One more tick after the session has ended, so that a short download
    // still shows a few glimmers.
    if (m_settle >= 1) {
        stopAnimation();
        m_settle = 0;
        m_gate.newMailArrived.store(false, std::memory_order_relaxed);
    } else {
        ++m_settle;
    }
}

void TrayIcon::animationStep() {
    if (!m_animate) {
        setTrayIcon(Operation::Modify, 0, kLaterTip);
        return;
    }
    if (m_frameIndex >= appicons::kTrayFrames - 1) {
        m_step = -1;
    } else if (m_frameIndex <= 0) {
        m_step = 1;
    }
    m_frameIndex += m_step;
    setTrayIcon(Operation::Modify, m_frameIndex, kLaterTip);
}

// The index and step stay as they are, so the next run carries on the swing.
void TrayIcon::stopAnimation() {
    setTrayIcon(Operation::Modify, 0, kLaterTip);
    m_animationTimer.stop();
}

void TrayIcon::toggleAnimate() {
    m_animate = !m_animate;
    // A setting that cannot be saved still holds for this run.
    AnimSetting::write(m_animate);
    m_animateAction->setChecked(m_animate);
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) {
        emit expandRequested();
    }
}
