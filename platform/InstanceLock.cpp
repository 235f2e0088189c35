#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace platform {

InstanceLock::InstanceLock(std::string backupDirectory) : m_directory(std::move(backupDirectory)) {}

InstanceLock::~InstanceLock() {
    release();
}

InstanceLock::Result InstanceLock::acquire(std::chrono::milliseconds timeout) {
    if (held()) {
        return Result::Acquired;
    }
    const int fd = ::open(m_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Result::NoBackupDirectory;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            m_fd = fd;
            return Result::Acquired;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return Result::HeldElsewhere;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void InstanceLock::release() {
    if (m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace platform
