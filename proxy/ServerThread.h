#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "proxy/MidpointServer.h"

// The server thread: runs a fresh CMidPointServer until it stops, and the
// ways the user interface starts, restarts and stops it. Start, restart and
// stop are meant for one controlling thread (the window thread, or
// glimmerfen-cli's main thread).
class ServerThread {
  public:
    explicit ServerThread(const ProxyContext& context, const ProxyTimeouts& timeouts = {});
    // Stops the proxy and waits for the thread. Every socket wait of the proxy
    // ends when shutFlag goes up; a host-name or block-list lookup in progress
    // still runs to its own time-out first.
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    // Starts the thread. False while the previous one has not ended yet.
    bool startServerThread();

    // The automatic restart, for the 5-second timer: when the proxy has
    // stopped itself (shutFlag set) and no close or restart is under way
    // (appClosing clear), starts it again. A thread still on its way out is
    // left for the next tick rather than waited for. True when restarted.
    bool restartIfStopped();

    // Restart Server: stops the proxy, waits for its thread at most `wait`,
    // starts it again and says "Server Restarted!". On time-out says "Didn't
    // Restart. 5 second wait timed out." and returns false with shutFlag and
    // appClosing left set.
    bool restartServer(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Restart Server without a word: stops the proxy, waits for its thread at
    // most `wait` and starts it again. False on time-out, with shutFlag and
    // appClosing left set.
    bool restart(std::chrono::milliseconds wait);
    // Sets shutFlag and appClosing without waiting: several proxies stopping
    // together wait for each other's ends only once.
    void requestStop();

    // For exit: sets shutFlag and appClosing and waits at most `wait`; true when
    // the thread has ended.
    bool stopForExit(std::chrono::milliseconds wait = std::chrono::seconds(1));

    // Waits at most `wait` for the thread to end by itself; true when it has
    // (or none runs). Changes no flag.
    bool waitStopped(std::chrono::milliseconds wait) { return waitEnded(wait); }

    // True while a thread runs (started and not yet ended).
    bool isRunning() const;
    // The port the running proxy listens on; 0 before it listens.
    std::uint16_t listeningPort() const { return m_port.load(); }

  private:
    void body();
    bool waitEnded(std::chrono::milliseconds wait);
    void joinEnded();

    ProxyContext m_context;
    const ProxyTimeouts m_timeouts;
    mutable std::mutex m_mutex;
    std::condition_variable m_endedChanged;
    bool m_ended = true;
    std::thread m_thread;
    std::atomic<std::uint16_t> m_port{0};
};
