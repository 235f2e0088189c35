#include "ui/FrameActions.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

namespace {

// "Prompt\nTip": the status-bar prompt, then the toolbar tip when there is one.
void setPrompt(QAction* action, const QString& prompt) {
    const auto parts = prompt.split(QLatin1Char('\n'));
    action->setStatusTip(parts.front());
    action->setToolTip(parts.size() > 1 ? parts.back() : parts.front());
}

QIcon standardIcon(QStyle::StandardPixmap pixmap) {
    return QApplication::style()->standardIcon(pixmap);
}

}  // namespace

FrameActions::FrameActions(QMainWindow& frame) {
    QMenuBar* bar = frame.menuBar();

    fileMenu = bar->addMenu(QStringLiteral("&File"));
    QMenu* file = fileMenu;
    file->setSeparatorsCollapsible(false);
    file->addSeparator();
    backupDatabase = add(file, QStringLiteral("&Backup Database"),
                         QStringLiteral("Backup Glimmerfen email database"));
    file->addSeparator();
    startAtLogin =
        add(file, QStringLiteral("Start Glimmerfen at &Login"),
            QStringLiteral("Start Glimmerfen by itself when you log in\nStart at Login"));
    startAtLogin->setCheckable(true);
    file->addSeparator();
    exit = add(file, QStringLiteral("E&xit"), QStringLiteral("Quit the application"));

    QMenu* view = bar->addMenu(QStringLiteral("&View"));
    buildToolBar(frame);
    viewToolbar = toolBar->toggleViewAction();
    viewToolbar->setText(QStringLiteral("&Toolbar"));
    setPrompt(viewToolbar, QStringLiteral("Show or hide the toolbar\nToggle ToolBar"));
    view->addAction(viewToolbar);
    viewStatusBar = add(view, QStringLiteral("&Status Bar"),
                        QStringLiteral("Show or hide the status bar\nToggle StatusBar"));
    viewStatusBar->setCheckable(true);
    viewStatusBar->setChecked(true);
    QObject::connect(viewStatusBar, &QAction::toggled, frame.statusBar(), &QWidget::setVisible);

    QMenu* server = bar->addMenu(QStringLiteral("&Server"));
    pop3Settings = add(server, QStringLiteral("&POP3 Settings"),
                       QStringLiteral("Launch POP3 Settings Panel\nPOP3 Settings Panel"));
    accounts = add(server, QStringLiteral("&Accounts"),
                   QStringLiteral("Add, edit and remove the mail accounts Glimmerfen "
                                  "serves\nAccounts"));
    restartServer = add(server, QStringLiteral("&Restart Server"),
                        QStringLiteral("Launch Server Restart Panel\nRestart Server"));

    QMenu* filtering = bar->addMenu(QStringLiteral("F&iltering"));
    dnsblPanel = add(filtering, QStringLiteral("&DNSBL Filter Panel"),
                     QStringLiteral("Launch DNSBL Filter Panel\nDNSBL Filter Panel"));
    buildPanel = add(filtering, QStringLiteral("Bayes &Auto-Filter Build Panel"),
                     QStringLiteral("Build and Schedule Bayes Filter Builds\nBayes Filter Panel"));
    whiteList = add(filtering, QStringLiteral("&White List"),
                    QStringLiteral("Launch White List\nWhite List"));
    blackList = add(filtering, QStringLiteral("&Black List"),
                    QStringLiteral("Launch Black List\nBlack List"));
    autoTestFolder = add(filtering, QStringLiteral("&Auto Test Folder"),
                         QStringLiteral("Test All or Selected Emails In Folder"));
    dnsblTestEmail = add(filtering, QStringLiteral("D&NSBL Test Email"),
                         QStringLiteral("Test Email Agains DNS Block List"));

    QMenu* helpMenu = bar->addMenu(QStringLiteral("&Help"));
    help = add(helpMenu, QStringLiteral("&Help"), QStringLiteral("View Help\nHelp"));
    about = add(helpMenu, QStringLiteral("&About Glimmerfen..."),
                QStringLiteral("About Glimmerfen!"));

    pop3Settings->setIcon(standardIcon(QStyle::SP_ComputerIcon));
    restartServer->setIcon(standardIcon(QStyle::SP_BrowserReload));
    dnsblPanel->setIcon(standardIcon(QStyle::SP_DriveNetIcon));
    buildPanel->setIcon(standardIcon(QStyle::SP_FileDialogDetailedView));
    whiteList->setIcon(standardIcon(QStyle::SP_DialogApplyButton));
    blackList->setIcon(standardIcon(QStyle::SP_DialogCancelButton));
    help->setIcon(standardIcon(QStyle::SP_DialogHelpButton));
    for (QAction* action : {pop3Settings, restartServer}) {
        toolBar->addAction(action);
    }
    toolBar->addSeparator();
    for (QAction* action : {dnsblPanel, buildPanel, whiteList, blackList}) {
        toolBar->addAction(action);
    }
    toolBar->addSeparator();
    toolBar->addAction(help);
}

QAction* FrameActions::add(QMenu* menu, const QString& text, const QString& prompt) {
    QAction* action = menu->addAction(text);
    setPrompt(action, prompt);
    return action;
}

void FrameActions::buildToolBar(QMainWindow& frame) {
    toolBar = new QToolBar(QStringLiteral("Toolbar"), &frame);
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setIconSize(QSize(16, 15));
    toolBar->setMovable(true);
    toolBar->setAllowedAreas(Qt::AllToolBarAreas);
    frame.addToolBar(Qt::TopToolBarArea, toolBar);
}
