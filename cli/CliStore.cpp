#include "cli/CliStore.h"

#include <chrono>

#include "cli/CliError.h"
#include "platform/Files.h"
#include "store/Backup.h"

CliStore::CliStore(Access access, Missing missing, std::ostream& messages)
    : m_desktop(messages), m_lock(kBackupDirectory) {
    if (missing == Missing::Refuse && !platform::fileExists(CDatabase::kDefaultFileName)) {
        throw CliError(std::string("no store here (") + CDatabase::kDefaultFileName +
                       " is missing; run 'glimmerfen-cli init')");
    }
    if (access == Access::Write) {
        lockInstallation(m_lock, messages);
    }
    m_database = std::make_unique<CDatabase>(m_desktop);
}

void lockInstallation(platform::InstanceLock& lock, std::ostream& messages) {
    switch (lock.acquire(std::chrono::milliseconds(1000))) {
        case platform::InstanceLock::Result::Acquired:
            return;
        case platform::InstanceLock::Result::HeldElsewhere:
            throw CliError(
                "the store is in use by Glimmerfen or another glimmerfen-cli command; "
                "try again when it has finished");
        case platform::InstanceLock::Result::NoBackupDirectory:
            // As the desktop program does: go on, without protection.
            messages << "glimmerfen-cli: Can't find \"backup\" sub-directory.\n";
            return;
    }
}
