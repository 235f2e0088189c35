#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemConfig.h"

// Collects the name servers that the system's network interfaces use, so the
// settings dialog can offer them. Nothing is validated: a server text is
// passed on exactly as configured, and the user tests a chosen one before
// relying on it. Short-lived; one thread at a time.
class NameServerDiscovery {
  public:
    // reader must outlive this object.
    explicit NameServerDiscovery(const platform::SystemConfigReader& reader);

    // Replaces both lists with what the configuration holds now. Never fails:
    // whatever cannot be read is left out.
    void discover();

    // Server texts in the order found, per interface its DHCP-assigned servers
    // before its static ones; a server on two interfaces appears twice.
    const std::vector<std::string>& servers() const { return m_servers; }
    // Subkey names of the interfaces key, in enumeration order.
    const std::vector<std::string>& interfaceNames() const { return m_interfaceNames; }

  private:
    void appendServers(const platform::SystemConfigReader::Key& interfaceKey,
                       std::string_view valueName);

    const platform::SystemConfigReader& m_reader;
    std::vector<std::string> m_interfaceNames;
    std::vector<std::string> m_servers;
};
