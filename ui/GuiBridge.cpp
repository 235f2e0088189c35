#include "ui/GuiBridge.h"

#include <algorithm>

#include <QApplication>
#include <QDialog>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QWidget>

GuiBridge::GuiBridge() = default;

GuiBridge::~GuiBridge() {
    shutdown();
}

bool GuiBridge::onGuiThread() const {
    return QThread::currentThread() == m_context.thread();
}

bool GuiBridge::isShutDown() const {
    std::lock_guard lock(m_mutex);
    return m_shutDown;
}

bool GuiBridge::enqueue(const std::shared_ptr<Request>& request) {
    {
        std::lock_guard lock(m_mutex);
        if (m_shutDown) {
            return false;
        }
        m_queued.push_back(request);
    }
    // The queued call names the request without owning it: Qt may free the
    // call on either thread, and a request's last owner must be one whose
    // hand-over the mutex orders. The pointer is only compared until found.
    QMetaObject::invokeMethod(
        &m_context, [this, queued = request.get()] { serve(queued); }, Qt::QueuedConnection);
    return true;
}

void GuiBridge::serve(const Request* queued) {
    std::shared_ptr<Request> request;
    {
        std::lock_guard lock(m_mutex);
        const auto found = std::find_if(m_queued.begin(), m_queued.end(),
                                        [queued](const auto& r) { return r.get() == queued; });
        if (found == m_queued.end()) {
            return;
        }
        request = std::move(*found);
        m_queued.erase(found);
    }
    std::exception_ptr failure;
    try {
        request->work();
    } catch (...) {
        failure = std::current_exception();
    }
    {
        std::lock_guard lock(m_mutex);
        // Whatever ends after the exit began was most likely ended by it (its
        // dialog rejected), so it counts as cancelled however late the worker wakes.
        request->finished = !m_shutDown;
        request->failure = failure;
    }
    m_changed.notify_all();
}

bool GuiBridge::run(std::function<void()> fn) {
    if (onGuiThread()) {
        if (isShutDown()) {
            return false;
        }
        fn();
        return true;
    }
    auto request = std::make_shared<Request>();
    request->work = std::move(fn);
    if (!enqueue(request)) {
        return false;
    }
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return request->finished || m_shutDown; });
    if (!request->finished) {
        return false;
    }
    if (request->failure) {
        std::rethrow_exception(request->failure);
    }
    return true;
}

bool GuiBridge::post(std::function<void()> fn, std::function<void()> onDropped) {
    auto request = std::make_shared<Request>();
    request->work = std::move(fn);
    request->dropped = std::move(onDropped);
    if (!enqueue(request)) {
        if (request->dropped) {
            request->dropped();
        }
        return false;
    }
    return true;
}

void GuiBridge::shutdown() {
    std::vector<std::shared_ptr<Request>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_shutDown = true;
        dropped.swap(m_queued);
    }
    m_changed.notify_all();
    for (const auto& request : dropped) {
        if (request->dropped) {
            request->dropped();
        }
    }
    if (!onGuiThread() || QApplication::instance() == nullptr) {
        return;
    }
    // done() rather than reject(): a dialog that asks before cancelling must not
    // ask at exit. Guarded, because closing one dialog may delete another.
    std::vector<QPointer<QDialog>> open;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(widget);
            dialog != nullptr && dialog->isVisible()) {
            open.emplace_back(dialog);
        }
    }
    for (const auto& dialog : open) {
        if (dialog != nullptr && dialog->isVisible()) {
            dialog->done(QDialog::Rejected);
        }
    }
}
