#pragma once

#include <QString>

class QAction;
class QMainWindow;
class QMenu;
class QToolBar;

// The main frame's commands: its menu bar, in the order the user knows, and
// the toolbar over the same actions. Each action's status tip is its prompt in
// the status bar and its tool tip the short name after the prompt.
struct FrameActions {
    explicit FrameActions(QMainWindow& frame);

    QMenu* fileMenu;
    QAction* backupDatabase;
    // Checkable; the frame sets the mark from the autostart entry each time
    // the File menu opens.
    QAction* startAtLogin;
    QAction* exit;
    QAction* viewToolbar;
    QAction* viewStatusBar;
    QAction* pop3Settings;
    QAction* accounts;
    QAction* restartServer;
    QAction* dnsblPanel;
    QAction* buildPanel;
    QAction* whiteList;
    QAction* blackList;
    QAction* autoTestFolder;
    QAction* dnsblTestEmail;
    QAction* help;
    QAction* about;
    QToolBar* toolBar;

  private:
    QAction* add(QMenu* menu, const QString& text, const QString& prompt);
    void buildToolBar(QMainWindow& frame);
};
