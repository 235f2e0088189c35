#include "platform/SystemConfig.h"

#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

namespace {

// Key paths compare without regard to ASCII case, as the configuration store
// they stand in for always has.
bool samePath(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

// The first limit bytes of the file; a line cut off by the limit is dropped
// rather than read as a shorter address. System files may well be links (a
// resolver manager links resolv.conf), but only a regular file is read: a FIFO
// there would hang the caller waiting for a writer.
std::optional<std::string> readCapped(const std::string& path, std::size_t limit) {
    std::optional<std::string> text = readSystemFile(path, limit + 1);
    if (text && text->size() > limit) {
        const std::size_t lastBreak = text->rfind('\n', limit - 1);
        text->resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    }
    return text;
}

}  // namespace

std::optional<std::string> SystemConfigReader::subkeyName(const Key& key, int index) const {
    if (index < 0) {
        return std::nullopt;
    }
    std::optional<std::string> name = readSubkeyName(key, index);
    if (name && name->size() > kMaxSubkeyNameLength) {
        return std::nullopt;
    }
    return name;
}

bool SystemConfigReader::queryValue(const Key& key, std::string_view name,
                                    ConfigValueBuffer& buffer) const {
    const std::optional<std::string> value = readValue(key, name);
    if (!value || value->size() + 1 > buffer.size()) {
        return false;
    }
    value->copy(buffer.data(), value->size());
    buffer[value->size()] = '\0';
    return true;
}

std::string joinResolvConfNameServers(std::string_view text) {
    static constexpr std::string_view kKeyword = "nameserver";
    std::string joined;
    bool first = true;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        std::size_t pos = 0;
        while (pos < line.size() && isBlank(line[pos])) {
            ++pos;
        }
        line.remove_prefix(pos);
        if (!line.starts_with(kKeyword) || line.size() == kKeyword.size() ||
            !isBlank(line[kKeyword.size()])) {
            continue;
        }
        line.remove_prefix(kKeyword.size());
        pos = 0;
        while (pos < line.size() && isBlank(line[pos])) {
            ++pos;
        }
        std::size_t stop = pos;
        while (stop < line.size() && !isBlank(line[stop]) && line[stop] != '#' &&
               line[stop] != ';') {
            ++stop;
        }
        if (stop == pos) {
            continue;
        }
        if (!first) {
            joined += ',';
        }
        joined.append(line.substr(pos, stop - pos));
        first = false;
    }
    return joined;
}

ResolvConfReader::ResolvConfReader(std::string path) : m_path(std::move(path)) {}

std::string ResolvConfReader::interfaceName() const {
    const std::size_t slash = m_path.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == m_path.size()) {
        return m_path;
    }
    return m_path.substr(slash + 1);
}

std::string ResolvConfReader::interfaceKeyPath() const {
    std::string path(kTcpipInterfacesKey);
    path += '\\';
    path += interfaceName();
    return path;
}

std::optional<SystemConfigReader::Key> ResolvConfReader::openKey(std::string_view path) const {
    if (samePath(path, kTcpipInterfacesKey)) {
        return Key{std::string(kTcpipInterfacesKey)};
    }
    if (samePath(path, interfaceKeyPath()) && readCapped(m_path, kMaxFileBytes)) {
        return Key{interfaceKeyPath()};
    }
    return std::nullopt;
}

int ResolvConfReader::subkeyCount(const Key& key) const {
    if (samePath(key.path, kTcpipInterfacesKey) && readCapped(m_path, kMaxFileBytes)) {
        return 1;
    }
    return 0;
}

std::optional<std::string> ResolvConfReader::readSubkeyName(const Key& key, int index) const {
    if (index == 0 && subkeyCount(key) == 1) {
        return interfaceName();
    }
    return std::nullopt;
}

std::optional<std::string> ResolvConfReader::readValue(const Key& key,
                                                       std::string_view name) const {
    if (!samePath(key.path, interfaceKeyPath()) || !samePath(name, kNameServerValue)) {
        return std::nullopt;
    }
    const std::optional<std::string> text = readCapped(m_path, kMaxFileBytes);
    if (!text) {
        return std::nullopt;
    }
    return joinResolvConfNameServers(*text);
}

}  // namespace platform
