#include "rating/NameServerDiscovery.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

NameServerDiscovery::NameServerDiscovery(const platform::SystemConfigReader& reader)
    : m_reader(reader) {}

void NameServerDiscovery::discover() {
    m_interfaceNames.clear();
    m_servers.clear();

    const std::optional<platform::SystemConfigReader::Key> interfaces =
        m_reader.openKey(platform::kTcpipInterfacesKey);
    if (!interfaces) {
        return;
    }
    const int count = m_reader.subkeyCount(*interfaces);
    for (int index = 0; index < count; ++index) {
        if (std::optional<std::string> name = m_reader.subkeyName(*interfaces, index)) {
            m_interfaceNames.push_back(std::move(*name));
        }
    }

    for (const std::string& name : m_interfaceNames) {
        std::string path(platform::kTcpipInterfacesKey);
        path += '\\';
        path += name;
        const std::optional<platform::SystemConfigReader::Key> interfaceKey =
            m_reader.openKey(path);
        if (!interfaceKey) {
            continue;
        }
        appendServers(*interfaceKey, platform::kDhcpNameServerValue);
        appendServers(*interfaceKey, platform::kNameServerValue);
    }
}

// Servers are separated by commas alone. Pieces are kept untrimmed and empty
// ones are kept, so the list shows exactly what the interface is configured
// with, mistakes included.
void NameServerDiscovery::appendServers(const platform::SystemConfigReader::Key& interfaceKey,
                                        std::string_view valueName) {
    platform::ConfigValueBuffer buffer{};
    if (!m_reader.queryValue(interfaceKey, valueName, buffer)) {
        return;
    }
    const std::string_view text(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
    if (text.empty()) {
        return;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        m_servers.emplace_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
}
