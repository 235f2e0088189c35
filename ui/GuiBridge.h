#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <QObject>

// Runs code on the GUI thread for worker threads. A worker posts its request with
// a queued call and waits on the bridge's own condition variable rather than on a
// blocking queued connection: the GUI thread can then join a worker without
// pumping events, provided it has called shutdown() first.
//
// Construct it on the GUI thread. It must outlive every worker that uses it.
class GuiBridge {
  public:
    GuiBridge();
    ~GuiBridge();
    GuiBridge(const GuiBridge&) = delete;
    GuiBridge& operator=(const GuiBridge&) = delete;

    // Runs fn on the GUI thread and waits until it has returned. On the GUI
    // thread itself fn runs at once. False, with fn possibly never run, when
    // the bridge is shut down before fn returns. An exception from fn is
    // rethrown to the caller.
    bool run(std::function<void()> fn);

    // run() with a result: nothing when cancelled by shutdown(). fn may still be
    // running on the GUI thread when a cancelled call returns, so whatever it
    // captures must be owned by it.
    template <typename R, typename F>
    std::optional<R> call(F&& fn) {
        auto result = std::make_shared<std::optional<R>>();
        if (!run([result, fn = std::forward<F>(fn)]() mutable { result->emplace(fn()); })) {
            return std::nullopt;
        }
        return std::move(*result);
    }

    // Queues fn for the GUI thread without waiting. When the request is refused
    // or dropped by shutdown(), onDropped runs instead (on the posting thread
    // when refused, on the GUI thread when dropped). False when refused.
    bool post(std::function<void()> fn, std::function<void()> onDropped = {});

    // The exit protocol, on the GUI thread: refuse new requests, wake every
    // waiting worker as cancelled, drop the queued requests and reject the open
    // dialogs so that their nested event loops unwind. Idempotent.
    void shutdown();
    bool isShutDown() const;

    bool onGuiThread() const;

  private:
    struct Request {
        std::function<void()> work;
        std::function<void()> dropped;
        bool finished = false;
        std::exception_ptr failure;
    };

    bool enqueue(const std::shared_ptr<Request>& request);
    void serve(const Request* queued);

    // Owns the queued calls: when it goes, Qt discards the calls still queued.
    QObject m_context;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_shutDown = false;
    std::vector<std::shared_ptr<Request>> m_queued;
};
