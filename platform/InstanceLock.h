#pragma once

#include <chrono>
#include <string>

namespace platform {

// Keeps a second copy of the program (or a writing glimmerfen-cli command) out of
// one installation. The lock is an advisory flock on the installation's "backup"
// directory itself: the directory names the installation, as its creation time
// did for the old named semaphore, two installations never share it, and the
// kernel drops the lock when the process dies, so a crash never locks anyone out.
class InstanceLock {
  public:
    enum class Result { Acquired, HeldElsewhere, NoBackupDirectory };

    explicit InstanceLock(std::string backupDirectory = "backup");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Tries until the time runs out.
    Result acquire(std::chrono::milliseconds timeout);
    void release();
    bool held() const { return m_fd >= 0; }

  private:
    const std::string m_directory;
    int m_fd = -1;
};

}  // namespace platform
