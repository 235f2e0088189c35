#pragma once

#include <memory>

#include "platform/InstanceLock.h"
#include "ui/Prompter.h"

class CMainFrame;
class ProcessObjects;
class QtDesktop;
class AccountServers;
class ProcessSignals;
struct ViewContext;

// The desktop program's process: starts the store, the main frame and the
// proxy in their order, runs the window loop, and takes everything down again
// so that no session still uses the store when it goes.
class CHarrowgleamApp {
  public:
    CHarrowgleamApp();
    ~CHarrowgleamApp();
    CHarrowgleamApp(const CHarrowgleamApp&) = delete;
    CHarrowgleamApp& operator=(const CHarrowgleamApp&) = delete;

    // Start-up; false when the program must end at once (a second copy, or a
    // failure already shown to the user). `exitCode` says with what.
    bool initInstance(int& exitCode);
    // Start-up, the window loop and the exit; the process's exit code.
    int run();

    CMainFrame* frame() { return m_frame.get(); }

  private:
    bool startUp(int& exitCode);
    void exitInstance();

    MessageBoxPrompter m_prompter;
    std::unique_ptr<QtDesktop> m_desktop;
    std::unique_ptr<ProcessObjects> m_objects;
    std::unique_ptr<ViewContext> m_context;
    std::unique_ptr<AccountServers> m_server;
    platform::InstanceLock m_lock;
    std::unique_ptr<CMainFrame> m_frame;
    std::unique_ptr<ProcessSignals> m_signals;
};
