#include "ui/Harrowgleam.h"

#include <sstream>

#include <QApplication>

#include "diag/DebugLog.h"
#include "diag/Error.h"
#include "diag/SourceName.h"
#include "platform/Files.h"
#include "proxy/ProcessObjects.h"
#include "proxy/AccountServers.h"
#include "store/Backup.h"
#include "ui/AppIcons.h"
#include "ui/MainFrm.h"
#include "ui/QtDesktop.h"
#include "ui/ProcessSignals.h"
#include "ui/TrayIcon.h"
#include "ui/ViewContext.h"

CHarrowgleamApp::CHarrowgleamApp() : m_lock(kBackupDirectory) {}

CHarrowgleamApp::~CHarrowgleamApp() {
    exitInstance();
}

bool CHarrowgleamApp::initInstance(int& exitCode) {
    try {
        return startUp(exitCode);
    } catch (const CError& error) {
        m_prompter.tell(QString::fromStdString(error.m_message));
    } catch (const std::exception& error) {
        const CError recorded("Catch All Error", "CHarrowgleamApp::InitInstance()", GF_HERE);
        m_prompter.tell(QString::fromStdString(recorded.m_message));
    }
    exitCode = 1;
    return false;
}

bool CHarrowgleamApp::startUp(int& exitCode) {
    QApplication::setApplicationName(QStringLiteral("Glimmerfen"));
    QApplication::setWindowIcon(appicons::applicationIcon());
    // The program lives on in the tray with no window shown.
    QApplication::setQuitOnLastWindowClosed(false);

    // A store that has to be made now means a new installation.
    const bool firstStart = !platform::fileExists(CDatabase::kDefaultFileName);
    m_desktop = std::make_unique<QtDesktop>();
    m_objects = std::make_unique<ProcessObjects>(*m_desktop);
    m_context = std::make_unique<ViewContext>(ViewContext{*m_objects, *m_desktop, m_prompter});

    ProcessObjects& objects = *m_objects;
    ProxyServices proxy = objects.proxyServices();
    proxy.listenerPass = [shared = m_objects.get()] { shared->buildCheck.onListenerPass(); };
    m_server = std::make_unique<AccountServers>(proxy);
    m_frame = std::make_unique<CMainFrame>(*m_context, *m_server);
    m_prompter.setParent(m_frame.get());

    std::ostringstream reason;
    if (!diag::createDebugLog(reason)) {
        m_prompter.tell(QString::fromStdString(reason.str()));
        exitCode = 1;
        return false;
    }
    // Before the lock: whoever finds this process by its lock may signal it.
    m_signals = std::make_unique<ProcessSignals>();
    QObject::connect(m_signals.get(), &ProcessSignals::terminationRequested, m_frame.get(),
                     &CMainFrame::endProgram);
    QObject::connect(m_signals.get(), &ProcessSignals::buildRequested,
                     [shared = m_objects.get()] { shared->schedule.setBuildNowPending(true); });
    const bool trayAvailable = TrayIcon::available();
    if (!m_frame->create(&m_lock, firstStart, trayAvailable)) {
        exitCode = 0;  // another copy runs here: end without a word
        return false;
    }
    QObject::connect(m_frame.get(), &CMainFrame::exitGranted, [] { QCoreApplication::exit(0); });

    if (trayAvailable) {
        m_frame->hide();
    } else {
        m_frame->show();
    }
    m_server->startAll();
    exitCode = 0;
    return true;
}

int CHarrowgleamApp::run() {
    int exitCode = 0;
    if (!initInstance(exitCode)) {
        return exitCode;
    }
    return QApplication::exec();
}

void CHarrowgleamApp::exitInstance() {
    // Nothing may wait for a window from here on; then no session may still
    // use the store when it goes.
    if (m_desktop) {
        m_desktop->shutdown();
    }
    if (m_server) {
        m_server->stopForExit(std::chrono::milliseconds(0));
    }
    m_signals.reset();
    m_server.reset();
    m_frame.reset();
    m_context.reset();
    m_objects.reset();
    m_desktop.reset();
}
