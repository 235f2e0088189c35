#include "ui/ProbeRunner.h"

#include <exception>
#include <system_error>
#include <thread>

#include <QMetaObject>

ProbeRunner::ProbeRunner(QObject* parent) : QObject(parent), m_probe(probeServer) {}

ProbeRunner::~ProbeRunner() {
    if (m_link) {
        m_link->stop = true;
        std::lock_guard lock(m_link->mutex);
        m_link->runner = nullptr;
    }
}

void ProbeRunner::start(const Pop3Settings& server, const ServerSecurity& security) {
    if (m_running) {
        return;
    }
    m_running = true;
    m_link = std::make_shared<Link>();
    m_link->runner = this;
    try {
        std::thread([link = m_link, probe = m_probe, server, security] {
            ProbeReport result;
            try {
                result = probe(server, security, kTimeout, link->stop);
            } catch (const std::exception& error) {
                result.failure = error.what();
            }
            std::lock_guard lock(link->mutex);
            if (ProbeRunner* runner = link->runner) {
                // Posted while the runner lives; if it goes before the call is
                // delivered, the call is dropped with it.
                QMetaObject::invokeMethod(
                    runner, [runner, result] { runner->report(result); }, Qt::QueuedConnection);
            }
        }).detach();
    } catch (const std::system_error&) {
        ProbeReport failed;
        failed.failure = "Glimmerfen could not start the test.";
        report(failed);
    }
}

void ProbeRunner::stop() {
    if (m_link) {
        m_link->stop = true;
    }
}

void ProbeRunner::report(const ProbeReport& result) {
    m_running = false;
    emit finished(result);
}
