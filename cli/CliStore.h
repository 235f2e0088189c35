#pragma once

#include <memory>
#include <ostream>

#include "desktop/ConsoleDesktop.h"
#include "platform/InstanceLock.h"
#include "store/Database.h"

// Takes the installation's instance lock for a command that changes anything in
// it (the store, the table, the phrase lists); throws CliError while another holds it.
void lockInstallation(platform::InstanceLock& lock, std::ostream& messages);

// The store as a command opens it. Commands that change the store hold the
// installation's instance lock for as long as they run, so they never write
// beside a running desktop program.
class CliStore {
  public:
    enum class Access { Read, Write };
    enum class Missing { Create, Refuse };

    CliStore(Access access, Missing missing, std::ostream& messages);

    CDatabase& database() { return *m_database; }

  private:
    ConsoleDesktop m_desktop;
    platform::InstanceLock m_lock;
    std::unique_ptr<CDatabase> m_database;
};
