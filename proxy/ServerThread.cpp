#include "proxy/ServerThread.h"

#include "desktop/Desktop.h"
#include "diag/Error.h"
#include "diag/SourceName.h"
#include "proxy/ProxyState.h"
#include "rating/BayesFilter.h"
#include "rating/FilterList.h"
#include "store/Database.h"
#include "store/ProgramState.h"

ServerThread::ServerThread(const ProxyContext& context, const ProxyTimeouts& timeouts)
    : m_context(context), m_timeouts(timeouts) {
    const auto told = context.listening;
    m_context.listening = [this, told](std::uint16_t port) {
        m_port = port;
        if (told) {
            told(port);
        }
    };
}

ServerThread::~ServerThread() {
    m_context.state.shutFlag = true;
    m_context.state.appClosing = true;
    std::thread thread;
    {
        // Joined outside the lock, which the thread takes on its way out.
        std::lock_guard lock(m_mutex);
        thread = std::move(m_thread);
    }
    if (thread.joinable()) {
        thread.join();
    }
}

void ServerThread::body() {
    try {
        CMidPointServer server(m_context, m_timeouts);
        const ProgramState state = m_context.database.getHarrowgleamState();
        m_context.bayes.setEnabled(state.bayesOn(), false);
        m_context.whiteList.load();
        m_context.blackList.load();
        server.server();
    } catch (const CError& error) {
        m_context.desktop.showTimedBox(error.what());
    } catch (...) {
        diag::recordError("Catch All Error", "ServerThread", GF_HERE);
    }
    // However it ended, the proxy has stopped, and the automatic restart must
    // see that.
    m_port = 0;
    m_context.state.shutFlag = true;
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_endedChanged.notify_all();
}

bool ServerThread::startServerThread() {
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable()) {
        if (!m_ended) {
            return false;
        }
        m_thread.join();
    }
    m_ended = false;
    m_port = 0;
    m_thread = std::thread([this] { body(); });
    return true;
}

bool ServerThread::waitEnded(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    return m_endedChanged.wait_for(lock, wait, [this] { return m_ended; });
}

void ServerThread::joinEnded() {
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable() && m_ended) {
        m_thread.join();
    }
}

bool ServerThread::restartIfStopped() {
    ProxyState& state = m_context.state;
    if (!state.shutFlag || state.appClosing) {
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        if (!m_ended) {
            return false;
        }
    }
    joinEnded();
    state.shutFlag = false;
    return startServerThread();
}

bool ServerThread::restartServer(std::chrono::milliseconds wait) {
    if (!restart(wait)) {
        m_context.desktop.showMessage("Didn't Restart. 5 second wait timed out.");
        return false;
    }
    m_context.desktop.showMessage("Server Restarted!");
    return true;
}

bool ServerThread::restart(std::chrono::milliseconds wait) {
    ProxyState& state = m_context.state;
    requestStop();
    if (!waitEnded(wait)) {
        return false;
    }
    joinEnded();
    state.shutFlag = false;
    startServerThread();
    state.appClosing = false;
    return true;
}

void ServerThread::requestStop() {
    m_context.state.shutFlag = true;
    m_context.state.appClosing = true;
}

bool ServerThread::stopForExit(std::chrono::milliseconds wait) {
    requestStop();
    return waitEnded(wait);
}

bool ServerThread::isRunning() const {
    std::lock_guard lock(m_mutex);
    return !m_ended;
}
