#pragma once

#include <array>

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include "ui/AppIcons.h"

class SessionGate;
class QAction;

// The program's icon in the notification area: its tip, its small menu, and the
// glimmer it shows while a download session brings mail. Lives on the GUI
// thread; the proxy's flags are only read, and newMailArrived cleared, here.
class TrayIcon : public QObject {
    Q_OBJECT

  public:
    static constexpr int kAnimationIntervalMs = 250;
    // The room the tip had in the shell's record (64 bytes with the terminator).
    static constexpr int kMaxTipLength = 63;
    static inline const QString kFirstTip =
        QStringLiteral("  Glimmerfen!\n Double Click, or\n Right Click for Menu");
    static inline const QString kLaterTip =
        QStringLiteral("  Glimmerfen!\n Double Click, or\n right click for menu");

    // Reads the animate flag from "Anim.bin" in the working directory.
    explicit TrayIcon(SessionGate& gate, QObject* parent = nullptr);

    static bool available();

    // Shows the icon at rest with the first tip.
    void add();
    // Takes the icon away for good: the application is closing.
    void remove();

    // Steps 1 and 2 of the 5-second list timer: start the animation when mail
    // has arrived, stop it on the second tick after the session has ended.
    void listTick();

    // How many accounts' listeners are up, for the tip: with more than one
    // the tip says how many; with one it stays as it always was.
    void setAccountsServed(int count);

    bool animateFlag() const { return m_animate; }
    // The menu's Animate item: invert the flag and remember it in "Anim.bin".
    void toggleAnimate();

    bool isAnimating() const { return m_animationTimer.isActive(); }
    int frameShown() const { return m_frameShown; }
    QString toolTip() const { return m_icon.toolTip(); }
    QMenu* menu() { return &m_menu; }
    QSystemTrayIcon& systemTrayIcon() { return m_icon; }

    // One tick of the 250 ms animation timer; public so tests can step it
    // without waiting on the clock.
    void animationStep();

    // The tip as the shell took it: at most kMaxTipLength characters.
    static QString cutTip(const QString& tip);
    // `tip` naming `accounts` served accounts in place of its title line when
    // there are more than one.
    static QString tipForAccounts(const QString& tip, int accounts);

  signals:
    void expandRequested();
    void exitRequested();

  private:
    enum class Operation { Add, Modify, Delete };

    void setTrayIcon(Operation operation, int frame, const QString& tip);
    void stopAnimation();
    void buildMenu();
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    SessionGate& m_gate;
    std::array<QIcon, appicons::kTrayFrames> m_frames;
    // Declared before the icon, which uses it as its context menu.
    QMenu m_menu;
    QAction* m_animateAction = nullptr;
    QSystemTrayIcon m_icon;
    QTimer m_animationTimer;
    bool m_animate;
    int m_frameIndex = 0;
    int m_step = 1;
    int m_settle = 0;
    int m_frameShown = 0;
    // The tip last set, before the accounts are put in.
    QString m_tip;
    int m_accountsServed = 1;
};
