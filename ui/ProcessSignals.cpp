#include "ui/ProcessSignals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <QSocketNotifier>

namespace {

constexpr int kHandled[] = {SIGTERM, SIGINT, SIGUSR1};

// The handler may only write a byte; the GUI thread reads it.
int g_pipe[2] = {-1, -1};

extern "C" void onProcessSignal(int number) {
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(g_pipe[0], &byte, 1);
}

}  // namespace

ProcessSignals::ProcessSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ProcessSignals::readPending);
    struct sigaction action {};
    action.sa_handler = onProcessSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : kHandled) {
        ::sigaction(number, &action, nullptr);
    }
}

ProcessSignals::~ProcessSignals() {
    for (const int number : kHandled) {
        ::signal(number, number == SIGUSR1 ? SIG_IGN : SIG_DFL);
    }
    for (int& fd : g_pipe) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

void ProcessSignals::readPending() {
    char byte;
    while (::read(g_pipe[1], &byte, 1) == 1) {
        if (byte == SIGUSR1) {
            emit buildRequested();
        } else {
            emit terminationRequested();
        }
    }
}
